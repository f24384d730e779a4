// The X11 backend's connection: made at the first call, its set-up queries
// answered at the first command, the answers awaited within bounds, and the
// displays RandR lists.
#include <poll.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xinput.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/displays.h"
#include "platform/linux/x11.h"
#include "platform/stop.h"

namespace x11 {

std::optional<Clock::time_point> stop_deadline;

std::optional<Clock::time_point> deadline_after_stop() {
  if (stop_request() && !stop_deadline) stop_deadline = Clock::now() + kAnswerPatience;
  return stop_deadline;
}

void* await_answer(xcb_connection_t* c, unsigned sequence,
                   std::optional<std::chrono::milliseconds> patience, xcb_generic_error_t** error) {
  constexpr std::chrono::milliseconds kSlice{100};
  std::optional<Clock::time_point> deadline;
  if (patience) deadline = Clock::now() + *patience;
  xcb_flush(c);
  pollfd readable{xcb_get_file_descriptor(c), POLLIN, 0};
  void* answer = nullptr;
  while (!xcb_poll_for_reply(c, sequence, &answer, error) && !xcb_connection_has_error(c)) {
    auto now = Clock::now();
    if (auto stop = deadline_after_stop(); stop && (!deadline || *deadline > *stop)) {
      deadline = stop;
    }
    auto left = deadline ? std::chrono::ceil<std::chrono::milliseconds>(*deadline - now) : kSlice;
    if (left.count() <= 0) break;
    poll(&readable, 1, static_cast<int>(std::min(left, kSlice).count()));
  }
  return answer;
}

// X names atoms in Latin-1; the list, and commands, are UTF-8.
std::string utf8_from_latin1(const char* text, int length) {
  std::string utf8;
  for (int i = 0; i < length; ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x80) {
      utf8 += static_cast<char>(0xc0 | byte >> 6);
      byte = 0x80 | (byte & 0x3f);
    }
    utf8 += static_cast<char>(byte);
  }
  return utf8;
}

// RandR's monitors by their names, in pixels (X does not scale); the main
// one is the primary monitor, else the first. Without monitors, the whole
// screen is the one display.
void take_displays(Server& x, const xcb_randr_get_monitors_reply_t* reply) {
  xcb_connection_t* c = x.connection.get();
  std::vector<std::pair<xcb_randr_monitor_info_t, xcb_get_atom_name_cookie_t>> asked;
  if (reply) {
    for (auto monitor = xcb_randr_get_monitors_monitors_iterator(reply); monitor.rem;
         xcb_randr_monitor_info_next(&monitor)) {
      asked.emplace_back(*monitor.data, xcb_get_atom_name(c, monitor.data->name));
    }
  }
  std::vector<platform::Display> displays;
  bool main_found = false;
  for (auto& [monitor, name_asked] : asked) {
    auto name = answer<xcb_get_atom_name_reply_t>(c, name_asked);
    std::string id = name ? utf8_from_latin1(xcb_get_atom_name_name(name.get()),
                                             xcb_get_atom_name_name_length(name.get()))
                          : std::to_string(monitor.name);
    bool main = monitor.primary && !main_found;  // one, should a server mark more
    main_found |= main;
    displays.push_back({std::move(id),
                        {static_cast<double>(monitor.x), static_cast<double>(monitor.y),
                         static_cast<double>(monitor.width), static_cast<double>(monitor.height)},
                        1,
                        main});
  }
  if (displays.empty()) displays.push_back({"screen", x.screen, 1, true});
  if (!main_found) displays.front().main = true;
  x.displays = platform::displays_in_order(std::move(displays));
  x.main_display = x.displays.front().bounds;
}

// Round trips, made at start and after each notified change only.
void read_displays(Server& x) {
  if (!x.has_monitors) return take_displays(x, nullptr);
  xcb_connection_t* c = x.connection.get();
  take_displays(
      x, answer<xcb_randr_get_monitors_reply_t>(c, xcb_randr_get_monitors(c, x.root, 1)).get());
}

bool present(xcb_connection_t* c, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* reply = xcb_get_extension_data(c, extension);
  return reply && reply->present;
}

Server open_connection(bool posts) {
  Server x;
  x.posts = posts;
  int screen_number = 0;
  x.connection.reset(xcb_connect(nullptr, &screen_number));
  xcb_connection_t* c = x.connection.get();
  if (xcb_connection_has_error(c)) return x;

  xcb_screen_iterator_t screen = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screen_number && screen.rem; ++i) xcb_screen_next(&screen);
  if (!screen.rem) return x;
  x.root = screen.data->root;
  x.screen = {0, 0, static_cast<double>(screen.data->width_in_pixels),
              static_cast<double>(screen.data->height_in_pixels)};

  for (xcb_extension_t* extension : {&xcb_test_id, &xcb_randr_id, &xcb_xkb_id, &xcb_input_id}) {
    xcb_prefetch_extension_data(c, extension);
  }
  x.has_xtest = present(c, &xcb_test_id);
  if (!x.has_xtest && posts) return x;

  // Setting a monitor is announced by a ConfigureNotify on the root window;
  // output, mode and screen-size changes by RandR's own event.
  uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, x.root, XCB_CW_EVENT_MASK, &structure);
  PendingSetup& pending = x.pending.emplace();
  if (present(c, &xcb_randr_id)) {
    x.randr_event_base = xcb_get_extension_data(c, &xcb_randr_id)->first_event;
    xcb_randr_select_input(c, x.root, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
    pending.version = xcb_randr_query_version(c, 1, 5);
    pending.monitors = xcb_randr_get_monitors(c, x.root, 1);
  }
  if (present(c, &xcb_xkb_id)) {
    x.xkb_event_base = xcb_get_extension_data(c, &xcb_xkb_id)->first_event;
    xcb_xkb_use_extension(c, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION);
    // A new keyboard or new key names (setxkbmap) move keys to other codes.
    uint16_t keymap_changes =
        XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_NAMES_NOTIFY;
    // New keysyms (xmodmap) change what keys type.
    xcb_xkb_select_events_details_t no_details{};
    xcb_xkb_select_events_aux(c, XCB_XKB_ID_USE_CORE_KBD,
                              keymap_changes | XCB_XKB_EVENT_TYPE_MAP_NOTIFY, 0, keymap_changes,
                              XCB_XKB_MAP_PART_KEY_SYMS, XCB_XKB_MAP_PART_KEY_SYMS, &no_details);
    pending.names = ask_key_names(c);
    if (posts && present(c, &xcb_input_id)) {
      xcb_input_xi_query_version(c, 2, 0);
      pending.devices = xcb_input_xi_query_device(c, XCB_INPUT_DEVICE_ALL);
    }
    if (posts) pending.core_controls = xcb_xkb_get_controls(c, XCB_XKB_ID_USE_CORE_KBD);
  }
  if (posts) pending.stand_in_mark = xcb_intern_atom(c, false, strlen(kStandInMark), kStandInMark);
  xcb_flush(c);
  return x;
}

void finish_setup(Server& x) {
  xcb_connection_t* c = x.connection.get();
  PendingSetup& pending = *x.pending;
  if (pending.version) {
    auto version = answer<xcb_randr_query_version_reply_t>(c, *pending.version);
    x.has_monitors = version && (version->major_version > 1 ||
                                 (version->major_version == 1 && version->minor_version >= 5));
    auto monitors = answer<xcb_randr_get_monitors_reply_t>(c, pending.monitors);
    if (x.has_monitors) take_displays(x, monitors.get());
  }
  if (!x.has_monitors) take_displays(x, nullptr);
  if (pending.names) {
    x.keycodes = keycodes_from(answer<xcb_xkb_get_names_reply_t>(c, *pending.names).get());
  }
  if (pending.devices && pending.core_controls) {
    turn_off_repeat(x, *pending.core_controls,
                    answer<xcb_input_xi_query_device_reply_t>(c, *pending.devices).get());
  }
  if (pending.stand_in_mark) {
    auto atom = answer<xcb_intern_atom_reply_t>(c, *pending.stand_in_mark);
    if (atom) x.stand_in_mark = atom->atom;
  }
  x.pending.reset();
}

// The one connection, made at the first call: for posting input through
// XTest, or (for the uinput backend) for reading the layout alone.
Server& connection(bool posts) {
  static Server x = open_connection(posts);
  return x;
}

// The connection with its set-up complete.
Server& server() {
  Server& x = connection();
  if (x.pending) finish_setup(x);
  return x;
}

}  // namespace x11
