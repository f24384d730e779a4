// The X11 backend's keyboards' repeat: off for the XTest keyboard and the
// core keyboard while the agent runs, whose controller decides about
// repeats, and put back as found at exit.
#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <string_view>
#include <vector>

#include "platform/linux/x11.h"

namespace x11 {

// The slave keyboard XTest's input arrives from, named after its master
// keyboard ("Virtual core XTEST keyboard"), then the other keyboards
// attached to the same master; nothing without an XTest keyboard.
std::vector<xcb_input_device_id_t> xtest_and_other_keyboards(
    const xcb_input_xi_query_device_reply_t* reply) {
  std::vector<const xcb_input_xi_device_info_t*> keyboards;
  const xcb_input_xi_device_info_t* xtest = nullptr;
  constexpr std::string_view kSuffix = " XTEST keyboard";
  for (auto device = reply ? xcb_input_xi_query_device_infos_iterator(reply)
                           : xcb_input_xi_device_info_iterator_t{};
       device.rem; xcb_input_xi_device_info_next(&device)) {
    if (device.data->type != XCB_INPUT_DEVICE_TYPE_SLAVE_KEYBOARD) continue;
    std::string_view name(xcb_input_xi_device_info_name(device.data),
                          xcb_input_xi_device_info_name_length(device.data));
    if (!xtest && name.size() > kSuffix.size() &&
        name.substr(name.size() - kSuffix.size()) == kSuffix) {
      xtest = device.data;
    } else {
      keyboards.push_back(device.data);
    }
  }
  if (!xtest) return {};
  std::vector<xcb_input_device_id_t> found{xtest->deviceid};
  for (const xcb_input_xi_device_info_t* keyboard : keyboards) {
    if (keyboard->attachment == xtest->attachment) found.push_back(keyboard->deviceid);
  }
  return found;
}

void set_repeat(xcb_connection_t* c, xcb_xkb_device_spec_t device, bool on) {
  const uint8_t per_key_repeat[32] = {};
  xcb_xkb_set_controls(c, device, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, XCB_XKB_BOOL_CTRL_REPEAT_KEYS,
                       on ? XCB_XKB_BOOL_CTRL_REPEAT_KEYS : 0, XCB_XKB_CONTROL_CONTROLS_ENABLED, 0,
                       0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, per_key_repeat);
}

bool repeats(const xcb_xkb_get_controls_reply_t* controls) {
  return controls && (controls->enabledControls & XCB_XKB_BOOL_CTRL_REPEAT_KEYS);
}

// Turns the repeat of the XTest keyboard and of the core keyboard's copy
// off. A change to the core keyboard reaches every device attached to it,
// so the person's keyboards get theirs back at once. A round trip (the only
// one at the first command).
void turn_off_repeat(Server& x, xcb_xkb_get_controls_cookie_t core_asked,
                     const xcb_input_xi_query_device_reply_t* devices) {
  xcb_connection_t* c = x.connection.get();
  std::vector<xcb_input_device_id_t> keyboards = xtest_and_other_keyboards(devices);
  std::vector<xcb_xkb_get_controls_cookie_t> asked{core_asked};
  for (xcb_input_device_id_t keyboard : keyboards)
    asked.push_back(xcb_xkb_get_controls(c, keyboard));
  std::vector<Repeat> found;
  for (size_t i = 0; i < asked.size(); ++i) {
    found.push_back({i == 0 ? xcb_xkb_device_spec_t{XCB_XKB_ID_USE_CORE_KBD} : keyboards[i - 1],
                     repeats(answer<xcb_xkb_get_controls_reply_t>(c, asked[i]).get())});
  }
  if (found.size() < 2) return;
  if (found[0].on) {
    set_repeat(c, found[0].keyboard, false);
    for (size_t i = 2; i < found.size(); ++i) {
      if (found[i].on) set_repeat(c, found[i].keyboard, true);
    }
  } else if (found[1].on) {
    set_repeat(c, found[1].keyboard, false);
  } else {
    return;
  }
  x.repeat_found = std::move(found);
}

// Puts every keyboard's repeat back as the agent found it.
void restore_repeat(Server& x) {
  xcb_connection_t* c = x.connection.get();
  const std::vector<Repeat>& found = x.repeat_found;
  if (found.empty()) return;
  if (!found[0].on) return set_repeat(c, found[1].keyboard, true);
  set_repeat(c, found[0].keyboard, true);
  for (size_t i = 1; i < found.size(); ++i) {
    if (!found[i].on) set_repeat(c, found[i].keyboard, false);
  }
}

}  // namespace x11
