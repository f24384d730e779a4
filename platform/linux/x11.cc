// The X Window System backend, on XCB: input goes in through the XTest
// extension, the main display is RandR's primary monitor, and keys are found
// by their XKB names so each lands on the same physical key as on a Mac.
//
// The trust test costs two round trips (connection, extensions); the set-up
// queries go out with it and their answers are collected at the first
// command, so the server answers them while the agent reports that it is
// ready. After that nothing waits for the server: the layout and the key
// names are kept from change notifications, taken in without waiting once
// per read of the agent's input, and a command's requests go out in one
// flush.
//
// The server would repeat keys held through XTest; the agent's controller
// decides about repeats, so the XTest keyboard's repeat is off while the
// agent runs (the person's own keyboard is another device and keeps its
// setting). The server repeats by the core keyboard's copy of the controls,
// which it takes from a device only when input switches to it, so the core
// keyboard's repeat is turned off too: another XTest client may have typed
// last. Both are put back at exit.
#include <poll.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xinput.h>
#include <xcb/xtest.h>
// The XKB header is C, with a member named `explicit`, a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "keymap/keys.h"
#include "platform/displays.h"
#include "platform/linux/backend.h"
#include "platform/linux/loaders/xkbcommon.h"
#include "platform/motion.h"
#include "platform/stop.h"
#include "platform/wheel.h"

namespace {

using platform::Bounds;
using platform::learn_typing;
using platform::Point;

// The XKB name of the key at each macOS virtual key code's position.
struct KeyPosition {
  uint16_t code;
  const char* name;
};

constexpr KeyPosition kKeyPositions[] = {
    {0, "AC01"},   {1, "AC02"},   {2, "AC03"},   {3, "AC04"},   {4, "AC06"},   {5, "AC05"},
    {6, "AB01"},   {7, "AB02"},   {8, "AB03"},   {9, "AB04"},   {11, "AB05"},  {12, "AD01"},
    {13, "AD02"},  {14, "AD03"},  {15, "AD04"},  {16, "AD06"},  {17, "AD05"},  {18, "AE01"},
    {19, "AE02"},  {20, "AE03"},  {21, "AE04"},  {22, "AE06"},  {23, "AE05"},  {24, "AE12"},
    {25, "AE09"},  {26, "AE07"},  {27, "AE11"},  {28, "AE08"},  {29, "AE10"},  {30, "AD12"},
    {31, "AD09"},  {32, "AD07"},  {33, "AD11"},  {34, "AD08"},  {35, "AD10"},  {36, "RTRN"},
    {37, "AC09"},  {38, "AC07"},  {39, "AC11"},  {40, "AC08"},  {41, "AC10"},  {42, "BKSL"},
    {43, "AB08"},  {44, "AB10"},  {45, "AB06"},  {46, "AB07"},  {47, "AB09"},  {48, "TAB"},
    {49, "SPCE"},  {50, "TLDE"},  {51, "BKSP"},  {53, "ESC"},   {54, "RWIN"},  {55, "LWIN"},
    {56, "LFSH"},  {57, "CAPS"},  {58, "LALT"},  {59, "LCTL"},  {60, "RTSH"},  {61, "RALT"},
    {62, "RCTL"},  {96, "FK05"},  {97, "FK06"},  {98, "FK07"},  {99, "FK03"},  {100, "FK08"},
    {101, "FK09"}, {103, "FK11"}, {109, "FK10"}, {111, "FK12"}, {114, "INS"},  {115, "HOME"},
    {116, "PGUP"}, {117, "DELE"}, {118, "FK04"}, {119, "END"},  {120, "FK02"}, {121, "PGDN"},
    {122, "FK01"}, {123, "LEFT"}, {124, "RGHT"}, {125, "DOWN"}, {126, "UP"},
};

constexpr uint8_t kWheelUp = 4;
constexpr uint8_t kWheelDown = 5;
constexpr uint8_t kWheelLeft = 6;
constexpr uint8_t kWheelRight = 7;

// How long the agent waits for an answer where it can go on without one (the
// pointer's location, the server having taken the last requests at exit), so
// a server that does not answer (stopped, say) does not keep it.
constexpr std::chrono::milliseconds kAnswerPatience{250};

// Each agent's record of the spares it has given keysyms, on the root
// window, is named this and its stand-in window's id; the stand-in carries
// the mark (see record_spares).
constexpr char kSparesRecord[] = "_INPUT_AGENT_SPARES_";
constexpr char kStandInMark[] = "_INPUT_AGENT_STAND_IN";

struct Disconnect {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

// XCB hands out replies and events allocated with malloc.
template <typename T>
using Owned = std::unique_ptr<T, decltype(&free)>;

template <typename T>
Owned<T> own(T* pointer) {
  return Owned<T>(pointer, &free);
}

struct Repeat {
  xcb_xkb_device_spec_t keyboard;
  bool on;
};

// Set-up queries sent but not yet answered.
struct PendingSetup {
  std::optional<xcb_randr_query_version_cookie_t> version;
  xcb_randr_get_monitors_cookie_t monitors{};
  std::optional<xcb_xkb_get_names_cookie_t> names;
  std::optional<xcb_input_xi_query_device_cookie_t> devices;
  std::optional<xcb_xkb_get_controls_cookie_t> core_controls;
  std::optional<xcb_intern_atom_cookie_t> stand_in_mark;
};

// A keycode the keymap left empty, which text borrows.
struct Spare {
  xcb_keycode_t keycode;
  xcb_keysym_t keysym;                         // 0: empty, as found
  std::chrono::steady_clock::time_point used;  // when last typed with
};

struct Server {
  std::unique_ptr<xcb_connection_t, Disconnect> connection;
  std::optional<PendingSetup> pending;
  xcb_window_t root = 0;
  platform::Bounds screen{0, 0, 0, 0};
  bool has_xtest = false;
  bool has_monitors = false;  // RandR 1.5
  uint8_t randr_event_base = 0;
  uint8_t xkb_event_base = 0;  // 0: no XKB
  platform::Bounds main_display{0, 0, 0, 0};
  std::vector<platform::Display> displays;              // in order, the main one first
  std::array<xcb_keycode_t, kKeyCodeLimit> keycodes{};  // 0: no such key here
  // The X key each code holds down, which a keymap change does not alter.
  std::array<xcb_keycode_t, kKeyCodeLimit> held{};
  WheelCarry wheel, wheel_sideways;
  MotionCarry motion;
  platform::Point last_motion{0, 0};
  // The keyboards' repeat as the agent found it, where it changed it: the
  // core keyboard's, the XTest keyboard's, then the other devices' attached
  // to the core keyboard.
  std::vector<Repeat> repeat_found;
  std::vector<Spare> spares;  // found at the first text
  bool spares_found = false;
  // The window that stands for this agent in its record of spares while it
  // lives, the mark it carries, and the record's name.
  xcb_atom_t stand_in_mark = XCB_ATOM_NONE;
  xcb_window_t stand_in = 0;
  std::array<uint32_t, 2> mark{};
  xcb_atom_t spares_record = XCB_ATOM_NONE;
  // What the keymap's other keys type in each of its groups, read with the
  // spares and after each change of the keymap outside them.
  std::array<platform::TypingTable, 4> typing;
  bool typing_read = false;
  bool posts = true;              // false when only the layout is wanted (for uinput)
  bool changes_taken_in = false;  // since the last read of the agent's input
};

using Clock = std::chrono::steady_clock;

// Once the agent is asked to stop, the waits on the server end by this
// deadline, kAnswerPatience after the first that saw the request, in all;
// the final confirmation at exit gets a deadline of its own.
std::optional<Clock::time_point> stop_deadline;

std::optional<Clock::time_point> deadline_after_stop() {
  if (stop_request() && !stop_deadline) stop_deadline = Clock::now() + kAnswerPatience;
  return stop_deadline;
}

// The answer to request `sequence` (to be freed), or nothing when the
// connection has failed, when none came within `patience` (where given), or
// by the stop's deadline: a server that does not answer (stopped, say) keeps
// the agent no longer than that. The wait goes in slices, so that a stop
// request is seen however it falls.
void* await_answer(xcb_connection_t* c, unsigned sequence,
                   std::optional<std::chrono::milliseconds> patience = std::nullopt,
                   xcb_generic_error_t** error = nullptr) {
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

// The reply to `cookie`, awaited as above.
template <typename Reply, typename Cookie>
Owned<Reply> answer(xcb_connection_t* c, Cookie cookie,
                    std::optional<std::chrono::milliseconds> patience = std::nullopt) {
  return own(static_cast<Reply*>(await_answer(c, cookie.sequence, patience)));
}

bool same_name(const char* xkb_name, const char* name) {
  return strncmp(xkb_name, name, XCB_XKB_CONST_KEY_NAME_LENGTH) == 0;
}

std::array<xcb_keycode_t, kKeyCodeLimit> keycodes_from(const xcb_xkb_get_names_reply_t* names) {
  std::array<xcb_keycode_t, kKeyCodeLimit> keycodes{};
  if (!names) return keycodes;
  xcb_xkb_get_names_value_list_t list;
  xcb_xkb_get_names_value_list_unpack(xcb_xkb_get_names_value_list(names), names->nTypes,
                                      names->indicators, names->virtualMods, names->groupNames,
                                      names->nKeys, names->nKeyAliases, names->nRadioGroups,
                                      names->which, &list);
  auto keycode_named = [&](const char* name) -> xcb_keycode_t {
    for (int i = 0; i < names->nKeys; ++i) {
      if (same_name(list.keyNames[i].name, name)) return names->firstKey + i;
    }
    return 0;
  };
  for (const KeyPosition& position : kKeyPositions) {
    xcb_keycode_t keycode = keycode_named(position.name);
    for (int i = 0; !keycode && i < names->nKeyAliases; ++i) {
      if (same_name(list.keyAliases[i].alias, position.name)) {
        keycode = keycode_named(list.keyAliases[i].real);
      }
    }
    keycodes[position.code] = keycode;
  }
  return keycodes;
}

xcb_xkb_get_names_cookie_t ask_key_names(xcb_connection_t* c) {
  return xcb_xkb_get_names(c, XCB_XKB_ID_USE_CORE_KBD,
                           XCB_XKB_NAME_DETAIL_KEY_NAMES | XCB_XKB_NAME_DETAIL_KEY_ALIASES);
}

// A round trip, made at start and after each notified keymap change only.
std::array<xcb_keycode_t, kKeyCodeLimit> read_keycodes(const Server& x) {
  xcb_connection_t* c = x.connection.get();
  return keycodes_from(answer<xcb_xkb_get_names_reply_t>(c, ask_key_names(c)).get());
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
Server& connection(bool posts = true) {
  static Server x = open_connection(posts);
  return x;
}

// The connection with its set-up complete.
Server& server() {
  Server& x = connection();
  if (x.pending) finish_setup(x);
  return x;
}

// Whether an XKB notification means keys may have other codes now: a
// keyboard loaded by name (setxkbmap) or new key names (xkbcomp). Whenever
// input switches between devices (the person's keyboard, XTest's) the server
// announces a new keyboard too, citing SetMap; that changes no key names.
bool moves_keys(const xcb_generic_event_t* event) {
  switch (reinterpret_cast<const xcb_xkb_new_keyboard_notify_event_t*>(event)->xkbType) {
    case XCB_XKB_NEW_KEYBOARD_NOTIFY: {
      auto* keyboard = reinterpret_cast<const xcb_xkb_new_keyboard_notify_event_t*>(event);
      return keyboard->requestMinor == XCB_XKB_GET_KBD_BY_NAME &&
             (keyboard->changed & XCB_XKB_NKN_DETAIL_KEYCODES);
    }
    case XCB_XKB_NAMES_NOTIFY:
      return reinterpret_cast<const xcb_xkb_names_notify_event_t*>(event)->changed &
             (XCB_XKB_NAME_DETAIL_KEY_NAMES | XCB_XKB_NAME_DETAIL_KEY_ALIASES);
    default:
      return false;
  }
}

bool is_spare(const Server& x, int keycode) {
  return std::any_of(x.spares.begin(), x.spares.end(),
                     [&](const Spare& spare) { return spare.keycode == keycode; });
}

// Whether an XKB notification gives keys other than the spares new keysyms:
// the agent's own changes to the spares come back as these too.
bool changes_keysyms_beyond_spares(const Server& x, const xcb_generic_event_t* event) {
  auto* map = reinterpret_cast<const xcb_xkb_map_notify_event_t*>(event);
  if (map->xkbType != XCB_XKB_MAP_NOTIFY || !(map->changed & XCB_XKB_MAP_PART_KEY_SYMS)) {
    return false;
  }
  for (int keycode = map->firstKeySym; keycode < map->firstKeySym + map->nKeySyms; ++keycode) {
    if (!is_spare(x, keycode)) return true;
  }
  return false;
}

// Takes in, once per read of the agent's input (at its first command that
// needs it), whatever the server has sent, without waiting for more (one
// read of the connection), and re-reads the layout or the key names if they
// changed, so a change announced before the read applies to every command
// it brought. Errors the server reports for refused requests arrive here
// too and are dropped.
void follow_changes(Server& x) {
  if (x.changes_taken_in) return;
  x.changes_taken_in = true;
  bool layout_changed = false, keymap_changed = false;
  while (auto event = own(xcb_poll_for_event(x.connection.get()))) {
    uint8_t type = event->response_type & 0x7f;
    if (type == XCB_CONFIGURE_NOTIFY) {
      auto* configure = reinterpret_cast<xcb_configure_notify_event_t*>(event.get());
      if (configure->window == x.root) {
        x.screen.width = configure->width;
        x.screen.height = configure->height;
      }
      layout_changed = true;
    }
    if (x.randr_event_base && type == x.randr_event_base + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
      layout_changed = true;
    }
    if (x.xkb_event_base && type == x.xkb_event_base) {
      bool moved = moves_keys(event.get());
      keymap_changed |= moved;
      // The server sends an XKB client these instead of MappingNotify.
      if (moved || changes_keysyms_beyond_spares(x, event.get())) x.typing_read = false;
    }
  }
  if (layout_changed) read_displays(x);
  if (keymap_changed) {
    x.keycodes = read_keycodes(x);
    // The new keymap may use the spares; they are looked for again.
    x.spares.clear();
    x.spares_found = false;
  }
}

// Rounded half away from zero, as lround does, without its library call.
int16_t whole_pixel(double coordinate) {
  return static_cast<int16_t>(coordinate < 0 ? coordinate - 0.5 : coordinate + 0.5);
}

uint8_t x_button(uint32_t platform_button) {
  switch (platform_button) {
    case platform::kButtonRight:
      return 3;
    case platform::kButtonCenter:
      return 2;
    default:
      return 1;
  }
}

void fake_input(Server& x, uint8_t type, uint8_t detail, int16_t root_x = 0, int16_t root_y = 0) {
  xcb_test_fake_input(x.connection.get(), type, detail, XCB_CURRENT_TIME,
                      type == XCB_MOTION_NOTIFY ? x.root : XCB_NONE, root_x, root_y, 0);
}

void click(Server& x, uint8_t button, int times) {
  for (int i = 0; i < times; ++i) {
    fake_input(x, XCB_BUTTON_PRESS, button);
    fake_input(x, XCB_BUTTON_RELEASE, button);
  }
}

// Text is typed on the keys of the keymap where it has them: a character on
// a key's plain or shifted level (of the first group) is that key, with
// Shift for the shifted one. Caps Lock, when locked, is unlocked for the
// text and locked again after it: applications turn letters to the other
// case by it, on their own keys and on spares alike (Xlib's lookup does,
// whatever the key's type). Every other character goes through spare
// keycodes, ones the keymap leaves empty: its keysym is put on one (both
// levels, so Shift does not change it) and the key pressed and released. A
// spare keeps its keysym for later text and is given another only when
// every spare is in use, the one used longest ago first: an application
// learns of a mapping change when it gets to the change's notification, and
// asks for the mapping then, by which time a spare given away at once could
// hold another character. The core keyboard and every keyboard attached to
// it, XTest's included, take a mapping change together. The modifiers the
// agent holds go up for the text and down again after it. Every spare used
// is emptied again when the agent ends.
constexpr uint16_t kShiftLeft = 56, kCapsLock = 57;  // the key table's

// An application looks a key's keysym up when it gets to the key's event,
// in the mapping the server has then: a spare given another keysym, or
// emptied at exit, before that loses the character typed with it. So a
// spare is given another keysym, and emptied at exit, only this long after
// it was last typed with. (xterm lost every spare character typed just
// before the agent ended.)
constexpr std::chrono::milliseconds kSpareSettle{100};

// The keysym X names a character by: Latin-1's own value, else the Unicode
// keysym; Return and Tab their keys'.
xcb_keysym_t keysym_of(char32_t character) {
  if (character == U'\n') return 0xff0d;
  if (character == U'\t') return 0xff09;
  if ((character >= 0x20 && character < 0x7f) || (character >= 0xa0 && character <= 0xff)) {
    return character;
  }
  return 0x01000000 | character;
}

// An agent that gives spares keysyms records them on the root window, in a
// property of its own (kSparesRecord and its stand-in window's id): the
// mark of its stand-in, then each such spare's keycode and keysym. The
// server destroys the stand-in when the agent's connection ends, however it
// ends; the mark tells the agent's stand-in from a window another client
// makes later with the same id. The next agent to type gives back what an
// agent gone left, which the server keeps in its keymap, and deletes its
// record. A record holds an agent's spares once each, so it stays small.
constexpr size_t kMarkSize = 2;

// Makes the stand-in and names the record, at the first spare given a
// keysym (a round trip, once).
void make_stand_in(Server& x) {
  xcb_connection_t* c = x.connection.get();
  x.stand_in = xcb_generate_id(c);
  xcb_create_window(c, 0, x.stand_in, x.root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, 0, nullptr);
  auto now = std::chrono::system_clock::now().time_since_epoch();
  x.mark = {
      static_cast<uint32_t>(getpid()),
      static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count())};
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, x.stand_in, x.stand_in_mark, XCB_ATOM_CARDINAL, 32,
                      kMarkSize, x.mark.data());
  char name[64];
  snprintf(name, sizeof name, "%s%08x", kSparesRecord, x.stand_in);
  auto atom = answer<xcb_intern_atom_reply_t>(c, xcb_intern_atom(c, false, strlen(name), name),
                                              kAnswerPatience);
  if (atom) x.spares_record = atom->atom;
}

// Writes this agent's record afresh: one request.
void record_spares(Server& x) {
  if (x.stand_in_mark == XCB_ATOM_NONE) return;
  if (!x.stand_in) make_stand_in(x);
  if (x.spares_record == XCB_ATOM_NONE) return;
  std::array<uint32_t, kMarkSize + 2 * 256> values;
  size_t count = 0;
  for (uint32_t word : x.mark) values[count++] = word;
  for (const Spare& spare : x.spares) {
    if (!spare.keysym) continue;
    values[count++] = spare.keycode;
    values[count++] = spare.keysym;
  }
  xcb_change_property(x.connection.get(), XCB_PROP_MODE_REPLACE, x.root, x.spares_record,
                      XCB_ATOM_CARDINAL, 32, count, values.data());
}

// The records of other agents on the root window, by name and stand-in:
// round trips, all asked at once.
std::vector<std::pair<xcb_atom_t, xcb_window_t>> other_records(Server& x) {
  xcb_connection_t* c = x.connection.get();
  auto listed =
      answer<xcb_list_properties_reply_t>(c, xcb_list_properties(c, x.root), kAnswerPatience);
  if (!listed) return {};
  const xcb_atom_t* atoms = xcb_list_properties_atoms(listed.get());
  int count = xcb_list_properties_atoms_length(listed.get());
  std::vector<xcb_get_atom_name_cookie_t> asked;
  for (int i = 0; i < count; ++i) asked.push_back(xcb_get_atom_name(c, atoms[i]));
  std::vector<std::pair<xcb_atom_t, xcb_window_t>> records;
  std::string_view prefix = kSparesRecord;
  for (int i = 0; i < count; ++i) {
    auto name = answer<xcb_get_atom_name_reply_t>(c, asked[i], kAnswerPatience);
    if (!name) continue;
    std::string_view text(xcb_get_atom_name_name(name.get()),
                          xcb_get_atom_name_name_length(name.get()));
    if (!text.starts_with(prefix) || atoms[i] == x.spares_record) continue;
    std::string digits(text.substr(prefix.size()));
    records.emplace_back(atoms[i], static_cast<xcb_window_t>(strtoul(digits.c_str(), nullptr, 16)));
  }
  return records;
}

// Whether the agent `stand_in` stood for is gone: its window no longer
// there, or another's with the same id. Not when the server did not answer.
bool agent_gone(Server& x, xcb_window_t stand_in, const uint32_t* mark) {
  xcb_connection_t* c = x.connection.get();
  xcb_generic_error_t* error = nullptr;
  auto reply = own(static_cast<xcb_get_property_reply_t*>(await_answer(
      c,
      xcb_get_property(c, false, stand_in, x.stand_in_mark, XCB_ATOM_CARDINAL, 0, kMarkSize)
          .sequence,
      kAnswerPatience, &error)));
  bool no_window = error && error->error_code == XCB_WINDOW;
  free(error);
  if (!reply) return no_window;
  return xcb_get_property_value_length(reply.get()) != kMarkSize * 4 ||
         memcmp(xcb_get_property_value(reply.get()), mark, kMarkSize * 4) != 0;
}

// Empties each spare in `record` that still has the keysym the agent gave
// it (a keymap loaded since may have put another there).
void empty_spares_of(Server& x, const uint32_t* pairs, size_t count) {
  xcb_connection_t* c = x.connection.get();
  const xcb_setup_t* setup = xcb_get_setup(c);
  uint8_t first = setup->min_keycode, keys = setup->max_keycode - setup->min_keycode + 1;
  auto mapping = answer<xcb_get_keyboard_mapping_reply_t>(
      c, xcb_get_keyboard_mapping(c, first, keys), kAnswerPatience);
  if (!mapping || mapping->keysyms_per_keycode < 2) return;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
  uint8_t width = mapping->keysyms_per_keycode;
  for (size_t i = 0; i + 1 < count; i += 2) {
    uint32_t keycode = pairs[i], keysym = pairs[i + 1];
    if (keycode < first || keycode >= first + keys) continue;
    const xcb_keysym_t* on_key = keysyms + (keycode - first) * width;
    if (on_key[0] == keysym && on_key[1] == keysym) {
      xcb_keysym_t none[2] = {0, 0};
      xcb_change_keyboard_mapping(c, 1, static_cast<xcb_keycode_t>(keycode), 2, none);
    }
  }
}

// With the server grabbed, so that no agent changes the spares meanwhile:
// gives back what each agent gone left and deletes its record. The spares
// are then found empty.
void give_back_spares_of_agents_gone(Server& x) {
  if (x.stand_in_mark == XCB_ATOM_NONE) return;
  std::vector<std::pair<xcb_atom_t, xcb_window_t>> records = other_records(x);
  if (records.empty()) return;
  xcb_connection_t* c = x.connection.get();
  xcb_grab_server(c);
  for (auto [name, stand_in] : records) {
    auto record = answer<xcb_get_property_reply_t>(
        c, xcb_get_property(c, false, x.root, name, XCB_ATOM_CARDINAL, 0, kMarkSize + 2 * 256),
        kAnswerPatience);
    if (!record || record->format != 32) continue;
    auto* values = static_cast<const uint32_t*>(xcb_get_property_value(record.get()));
    size_t count = xcb_get_property_value_length(record.get()) / sizeof(uint32_t);
    if (count < kMarkSize || !agent_gone(x, stand_in, values)) continue;
    empty_spares_of(x, values + kMarkSize, count - kMarkSize);
    xcb_delete_property(c, x.root, name);
  }
  xcb_ungrab_server(c);
  xcb_flush(c);
}

// The group XKB takes for `key`'s symbols while `group` is in force: one
// beyond the key's groups wraps round, is clamped or is redirected, as the
// key says.
uint8_t group_of_key(const xcb_xkb_key_sym_map_t& key, uint8_t group) {
  uint8_t groups = key.groupInfo & 0x0f;
  if (group < groups) return group;
  switch (key.groupInfo & 0xc0) {
    case XCB_XKB_GROUPS_WRAP_CLAMP_INTO_RANGE:
      return groups - 1;
    case XCB_XKB_GROUPS_WRAP_REDIRECT_INTO_RANGE: {
      uint8_t redirected = (key.groupInfo >> 4) & 0x03;
      return redirected < groups ? redirected : 0;
    }
    default:
      return group % groups;
  }
}

// Learns what `level` (0 plain, 1 shifted) of `key`, keycode `keycode`,
// types in each group, where the key is a main one or, as `extra` says, an
// extra one.
void learn_key(Server& x, const Xkbcommon& xkb, const xcb_xkb_key_sym_map_t& key,
               xcb_keycode_t keycode, int level, bool extra) {
  if (level >= key.width) return;
  const xcb_keysym_t* keysyms = xcb_xkb_key_sym_map_syms(&key);
  // X numbers keys 8 above evdev (and from 8 on).
  auto evdev = static_cast<uint16_t>(keycode - 8);
  for (uint8_t group = 0; group < x.typing.size(); ++group) {
    xcb_keysym_t keysym = keysyms[group_of_key(key, group) * key.width + level];
    if (platform::is_extra_key(keysym, evdev) == extra) {
      learn_typing(x.typing[group], xkb, keysym, evdev, level == 1);
    }
  }
}

// The keyboard's symbols, as XKB has them for each group (the core
// mapping shows the first group alone).
Owned<xcb_xkb_get_map_reply_t> ask_key_symbols(xcb_connection_t* c) {
  return answer<xcb_xkb_get_map_reply_t>(
      c, xcb_xkb_get_map(c, XCB_XKB_ID_USE_CORE_KBD, XCB_XKB_MAP_PART_KEY_SYMS, 0, 0, 0, 0, 0, 0, 0,
                         0, 0, 0, 0, 0, 0, 0, 0, 0));
}

// Reads the keymap, a round trip at the first text and after each change
// of it: the keycodes it leaves empty, the first time, and what the other
// keys' plain and shifted levels type in each group.
void read_keymap(Server& x) {
  x.typing_read = true;
  for (platform::TypingTable& table : x.typing) table.clear();
  xcb_connection_t* c = x.connection.get();
  if (!x.spares_found) give_back_spares_of_agents_gone(x);
  auto reply = ask_key_symbols(c);
  if (!reply) return;
  xcb_xkb_get_map_map_t map{};
  xcb_xkb_get_map_map_unpack(xcb_xkb_get_map_map(reply.get()), reply->nTypes, reply->nKeySyms,
                             reply->nKeyActions, reply->totalActions, reply->totalKeyBehaviors,
                             reply->virtualMods, reply->totalKeyExplicit, reply->totalModMapKeys,
                             reply->totalVModMapKeys, reply->present, &map);
  if (!x.spares_found) {
    x.spares_found = true;
    std::vector<Spare> found;
    auto key = xcb_xkb_get_map_map_syms_rtrn_iterator(reply.get(), &map);
    for (int keycode = reply->firstKeySym; key.rem; xcb_xkb_key_sym_map_next(&key), ++keycode) {
      if (key.data->nSyms == 0) found.push_back({static_cast<xcb_keycode_t>(keycode), 0, {}});
    }
    // From the top, where keyboards have no keys.
    x.spares.assign(found.rbegin(), found.rend());
  }
  const Xkbcommon* xkb = xkbcommon();
  if (!xkb) return;
  for (bool extra : {false, true}) {
    for (int level : {0, 1}) {
      auto key = xcb_xkb_get_map_map_syms_rtrn_iterator(reply.get(), &map);
      for (int keycode = reply->firstKeySym; key.rem; xcb_xkb_key_sym_map_next(&key), ++keycode) {
        if (keycode >= 8 && key.data->nSyms > 0 && !is_spare(x, keycode)) {
          learn_key(x, *xkb, *key.data, static_cast<xcb_keycode_t>(keycode), level, extra);
        }
      }
    }
  }
}

// Waits, where a spare was typed with less than kSpareSettle before `since`,
// for the rest of that time, the requests so far sent.
void settle(Server& x, std::chrono::steady_clock::time_point since) {
  auto left = since + kSpareSettle - std::chrono::steady_clock::now();
  if (left <= left.zero()) return;
  xcb_flush(x.connection.get());
  std::this_thread::sleep_for(left);
}

// A spare keycode holding `keysym`, given it if none does; 0 when there are
// no spares.
xcb_keycode_t key_for(Server& x, xcb_keysym_t keysym) {
  if (x.spares.empty()) return 0;
  Spare* oldest = &x.spares.front();
  for (Spare& spare : x.spares) {
    if (spare.keysym == keysym) {
      spare.used = std::chrono::steady_clock::now();
      return spare.keycode;
    }
    if (spare.used < oldest->used) oldest = &spare;
  }
  settle(x, oldest->used);
  xcb_keysym_t both[2] = {keysym, keysym};
  xcb_change_keyboard_mapping(x.connection.get(), 1, oldest->keycode, 2, both);
  oldest->keysym = keysym;
  record_spares(x);
  oldest->used = std::chrono::steady_clock::now();
  return oldest->keycode;
}

// Presses or releases (`type`) every modifier key the agent holds.
void fake_held_modifiers(Server& x, uint8_t type) {
  for (uint16_t code = 0; code < kKeyCodeLimit; ++code) {
    if (x.held[code] && is_modifier(code)) fake_input(x, type, x.held[code]);
  }
}

struct KeyboardState {
  bool caps_locked;
  uint8_t group;  // the layout in force, 0 for the first
};

// A round trip, once for each text.
KeyboardState keyboard_state(Server& x) {
  if (!x.xkb_event_base) return {false, 0};
  xcb_connection_t* c = x.connection.get();
  auto state = answer<xcb_xkb_get_state_reply_t>(c, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD));
  if (!state) return {false, 0};
  return {(state->lockedMods & XCB_MOD_MASK_LOCK) != 0, static_cast<uint8_t>(state->group & 3)};
}

// Whether the agent holds the key `keycode` down for the controller.
bool holds(const Server& x, xcb_keycode_t keycode) {
  return std::find(x.held.begin(), x.held.end(), keycode) != x.held.end();
}

// Presses and releases `keycode`, with Shift around it when `shift` is not 0.
void type_key(Server& x, xcb_keycode_t keycode, xcb_keycode_t shift = 0) {
  if (shift) fake_input(x, XCB_KEY_PRESS, shift);
  fake_input(x, XCB_KEY_PRESS, keycode);
  fake_input(x, XCB_KEY_RELEASE, keycode);
  if (shift) fake_input(x, XCB_KEY_RELEASE, shift);
}

void post_text(const char32_t* text, size_t count) {
  Server& x = server();
  follow_changes(x);
  if (!x.typing_read) read_keymap(x);
  xcb_keycode_t shift = x.keycodes[kShiftLeft], caps_lock = x.keycodes[kCapsLock];
  KeyboardState state = keyboard_state(x);
  const platform::TypingTable& typing = x.typing[state.group];
  // A Caps Lock the controller holds (which locked it) goes up for the
  // unlocking tap, and down again after the text, which locks it again.
  bool unlock = caps_lock && state.caps_locked;
  bool caps_held = x.held[kCapsLock] != 0;
  fake_held_modifiers(x, XCB_KEY_RELEASE);
  if (unlock && caps_held) fake_input(x, XCB_KEY_RELEASE, x.held[kCapsLock]);
  if (unlock) type_key(x, caps_lock);
  // The agent's end ends the text where it is: with every spare in use,
  // each character waits for one to settle.
  for (size_t i = 0; i < count && !ending(); ++i) {
    // A key the controller holds stays down: its character goes on a spare.
    auto own_key = typing.find(text[i]);
    if (own_key != typing.end() && (shift || !own_key->second.shifted) &&
        !holds(x, static_cast<xcb_keycode_t>(own_key->second.key + 8))) {
      auto [key, shifted] = own_key->second;
      type_key(x, static_cast<xcb_keycode_t>(key + 8), shifted ? shift : 0);
    } else if (xcb_keycode_t spare = key_for(x, keysym_of(text[i]))) {
      type_key(x, spare);
    }
  }
  if (unlock && caps_held) {
    fake_input(x, XCB_KEY_PRESS, x.held[kCapsLock]);
  } else if (unlock) {
    type_key(x, caps_lock);
  }
  fake_held_modifiers(x, XCB_KEY_PRESS);
}

// Empties every spare the agent gave a keysym, once the last typed with has
// settled; nothing to do on a connection that has failed, whose keysyms the
// server has let go of with it.
void restore_spares(Server& x) {
  if (xcb_connection_has_error(x.connection.get())) return;
  auto last = std::max_element(x.spares.begin(), x.spares.end(),
                               [](const Spare& a, const Spare& b) { return a.used < b.used; });
  if (last != x.spares.end()) settle(x, last->used);
  xcb_keysym_t none[2] = {0, 0};
  for (Spare& spare : x.spares) {
    if (spare.keysym) {
      xcb_change_keyboard_mapping(x.connection.get(), 1, spare.keycode, 2, none);
      spare.keysym = 0;
    }
  }
  // Every spare is empty again: the record goes.
  if (x.spares_record != XCB_ATOM_NONE) {
    xcb_delete_property(x.connection.get(), x.root, x.spares_record);
  }
}

platform::Reach connect() {
  Server& x = connection();
  if (xcb_connection_has_error(x.connection.get()) || x.root == 0) return platform::Reach::kNobody;
  return x.has_xtest ? platform::Reach::kReady : platform::Reach::kRefused;
}

Bounds main_display() {
  Server& x = server();
  follow_changes(x);
  return x.main_display;
}

std::vector<platform::Display> displays() {
  Server& x = server();
  follow_changes(x);
  return x.displays;
}

std::optional<Bounds> display_named(std::string_view id) {
  Server& x = server();
  follow_changes(x);
  return platform::bounds_of(x.displays, id);
}

// Where the agent's last motion went when the server does not tell.
std::optional<Point> cursor() {
  Server& x = server();
  xcb_connection_t* c = x.connection.get();
  xcb_query_pointer_cookie_t asked = xcb_query_pointer(c, x.root);
  auto reply = own(
      static_cast<xcb_query_pointer_reply_t*>(await_answer(c, asked.sequence, kAnswerPatience)));
  if (!reply) return x.last_motion;
  return Point{static_cast<double>(reply->root_x), static_cast<double>(reply->root_y)};
}

// The server keeps modifier state from the modifier keys held through XTest,
// so masks need no stamping here. A key goes up where it went down, even
// when the keymap has changed since.
void post_key(uint16_t code, bool down, uint64_t) {
  if (code >= kKeyCodeLimit) return;
  Server& x = server();
  follow_changes(x);
  xcb_keycode_t& held = x.held[code];
  xcb_keycode_t keycode = held ? held : x.keycodes[code];
  held = down ? keycode : 0;
  if (keycode) fake_input(x, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode);
}

// Presses and releases happen where the event says, as on a Mac, so the
// pointer moves there first: something else may have moved it since the
// agent's last motion. A motion to where the pointer already is reaches no
// application. The server turns moves into drags by itself.
void post_mouse(uint32_t type, Point point, uint32_t button, uint64_t, int64_t) {
  Server& x = server();
  fake_input(x, XCB_MOTION_NOTIFY, 0, whole_pixel(point.x), whole_pixel(point.y));
  x.last_motion = point;
  bool press = platform::is_press(type), release = platform::is_release(type);
  if (press || release) {
    fake_input(x, press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, x_button(button));
  }
}

// XTest's relative motion goes through the server's pointer path, as a
// mouse's does: it moves the pointer, clamped by the screen's edges, and
// reaches XInput 2 clients that read raw motion. The server moves by whole
// pixels; the fractions carry over.
void post_motion(uint32_t, double dx, double dy, uint32_t, uint64_t, int64_t) {
  Server& x = server();
  int16_t whole_x = static_cast<int16_t>(take_whole_pixels(x.motion.x, dx));
  int16_t whole_y = static_cast<int16_t>(take_whole_pixels(x.motion.y, dy));
  if (whole_x == 0 && whole_y == 0) return;
  xcb_test_fake_input(x.connection.get(), XCB_MOTION_NOTIFY, 1, XCB_CURRENT_TIME, XCB_NONE, whole_x,
                      whole_y, 0);
}

// Steps of the wheel are clicks of the wheel buttons.
void post_wheel(int32_t vertical, int32_t horizontal) {
  Server& x = server();
  auto clicks = static_cast<int>(take_wheel_steps(x.wheel, vertical));
  click(x, clicks > 0 ? kWheelUp : kWheelDown, std::abs(clicks));
  clicks = static_cast<int>(take_wheel_steps(x.wheel_sideways, horizontal));
  click(x, clicks > 0 ? kWheelLeft : kWheelRight, std::abs(clicks));
}

void on_input() {
  server().changes_taken_in = false;
}

bool flush() {
  return xcb_flush(server().connection.get()) > 0;
}

const char* session_end() {
  return "the X server closed the connection";
}

// -1 once the connection has failed: the next flush tells then.
int session_connection() {
  return xcb_get_file_descriptor(connection().connection.get());
}

// The server discards what it has not yet read from a connection that
// closes, which could be the release of everything held; so the agent waits
// for the answer to one request, within a bound, before it exits. The
// keyboards get their repeat back first.
void finish() {
  Server& x = server();
  xcb_connection_t* c = x.connection.get();
  restore_repeat(x);
  restore_spares(x);
  stop_deadline.reset();
  free(await_answer(c, xcb_get_input_focus(c).sequence, kAnswerPatience));
}

// The table of the group in force now: a round trip, once for each text.
const platform::TypingTable& typing() {
  Server& x = server();
  follow_changes(x);
  if (!x.typing_read) read_keymap(x);
  return x.typing[keyboard_state(x).group];
}

bool connect_for_layout() {
  Server& x = connection(false);
  return !xcb_connection_has_error(x.connection.get()) && x.root != 0;
}

Bounds desktop() {
  Server& x = server();
  follow_changes(x);
  return x.screen;
}

// Named here, where these functions are the ones in scope.
constexpr platform::Backend kBackend = {
    connect,   main_display, display_named,        cursor,
    post_key,  post_mouse,   post_motion,          post_wheel,
    post_text, on_input,     platform::never_idle, platform::nothing_when_idle,
    flush,     session_end,  session_connection,   platform::nothing_else_ends_it,
    finish,
};
constexpr platform::Geometry kGeometry = {connect_for_layout, main_display, displays,
                                          display_named,      desktop,      cursor,
                                          on_input,           typing,       session_connection};

}  // namespace

const platform::Backend platform::kX11Backend = kBackend;
const platform::Geometry platform::kX11Geometry = kGeometry;
