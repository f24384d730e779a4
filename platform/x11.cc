// The X Window System backend, on XCB: input goes in through the XTest
// extension, the main display is RandR's primary monitor, and keys are found
// by their XKB names so each lands on the same physical key as on a Mac.
//
// The trust test costs two round trips (connection, extensions); the set-up
// queries go out with it and their answers are collected at first use, so the
// server answers them while the agent reports that it is ready. After that
// nothing waits for the server: the layout is kept from change notifications,
// and a command's requests go out in one flush (one poll, one write).
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>
// The XKB header is C, with a member named `explicit`, a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "keymap/keys.h"
#include "platform/platform.h"

namespace {

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

// One click of the wheel buttons stands for this many pixels of delta, what
// browsers report for one wheel notch on most desktops.
constexpr int kPixelsPerClick = 100;
constexpr uint8_t kWheelUp = 4;
constexpr uint8_t kWheelDown = 5;

// Looking for layout notifications reads the connection, which costs system
// calls; a fast stream of pointer commands looks at most this often, a
// slower one before every pointer command.
constexpr std::chrono::milliseconds kLayoutCheckInterval{1};

// The server discards what it has not yet read from a connection that closes,
// which could be the release of everything held at end of input; so a round
// trip comes first, at exit only.
struct Disconnect {
  void operator()(xcb_connection_t* connection) const {
    free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    xcb_disconnect(connection);
  }
};

// XCB hands out replies and events allocated with malloc.
template <typename T>
using Owned = std::unique_ptr<T, decltype(&free)>;

template <typename T>
Owned<T> own(T* pointer) {
  return Owned<T>(pointer, &free);
}

// Set-up queries sent but not yet answered.
struct PendingSetup {
  std::optional<xcb_randr_query_version_cookie_t> version;
  xcb_randr_get_monitors_cookie_t monitors{};
  std::optional<xcb_xkb_get_names_cookie_t> names;
};

struct Server {
  std::unique_ptr<xcb_connection_t, Disconnect> connection;
  std::optional<PendingSetup> pending;
  xcb_window_t root = 0;
  platform::Bounds screen{0, 0, 0, 0};
  bool has_xtest = false;
  bool has_monitors = false;  // RandR 1.5
  uint8_t randr_event_base = 0;
  platform::Bounds main_display{0, 0, 0, 0};
  std::array<xcb_keycode_t, kKeyCodeLimit> keycodes{};  // 0: no such key here
  int wheel_pixels = 0;                        // delta not yet turned into clicks, in its direction
  std::optional<std::pair<int, int>> pointer;  // where the last motion put it
  std::chrono::steady_clock::time_point layout_checked;
};

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

// The primary monitor, else the first, else the whole screen.
platform::Bounds main_display_from(const Server& x, const xcb_randr_get_monitors_reply_t* reply) {
  if (!reply) return x.screen;
  xcb_randr_monitor_info_iterator_t monitor = xcb_randr_get_monitors_monitors_iterator(reply);
  std::optional<xcb_randr_monitor_info_t> chosen;
  for (; monitor.rem; xcb_randr_monitor_info_next(&monitor)) {
    if (!chosen || (monitor.data->primary && !chosen->primary)) chosen = *monitor.data;
  }
  if (!chosen) return x.screen;
  return {static_cast<double>(chosen->x), static_cast<double>(chosen->y),
          static_cast<double>(chosen->width), static_cast<double>(chosen->height)};
}

// A round trip, made at start and after each notified change only.
platform::Bounds read_main_display(const Server& x) {
  if (!x.has_monitors) return x.screen;
  xcb_connection_t* c = x.connection.get();
  return main_display_from(
      x, own(xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, x.root, 1), nullptr)).get());
}

bool present(xcb_connection_t* c, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* reply = xcb_get_extension_data(c, extension);
  return reply && reply->present;
}

Server connect() {
  Server x;
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

  for (xcb_extension_t* extension : {&xcb_test_id, &xcb_randr_id, &xcb_xkb_id}) {
    xcb_prefetch_extension_data(c, extension);
  }
  x.has_xtest = present(c, &xcb_test_id);
  if (!x.has_xtest) return x;

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
    xcb_xkb_use_extension(c, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION);
    pending.names =
        xcb_xkb_get_names(c, XCB_XKB_ID_USE_CORE_KBD,
                          XCB_XKB_NAME_DETAIL_KEY_NAMES | XCB_XKB_NAME_DETAIL_KEY_ALIASES);
  }
  xcb_flush(c);
  return x;
}

void finish_setup(Server& x) {
  xcb_connection_t* c = x.connection.get();
  PendingSetup& pending = *x.pending;
  if (pending.version) {
    auto version = own(xcb_randr_query_version_reply(c, *pending.version, nullptr));
    x.has_monitors = version && (version->major_version > 1 ||
                                 (version->major_version == 1 && version->minor_version >= 5));
    auto monitors = own(xcb_randr_get_monitors_reply(c, pending.monitors, nullptr));
    if (x.has_monitors) x.main_display = main_display_from(x, monitors.get());
  }
  if (!x.has_monitors) x.main_display = x.screen;
  if (pending.names) {
    x.keycodes = keycodes_from(own(xcb_xkb_get_names_reply(c, *pending.names, nullptr)).get());
  }
  x.pending.reset();
}

Server& connection() {
  static Server x = connect();
  return x;
}

// The connection with its set-up complete.
Server& server() {
  Server& x = connection();
  if (x.pending) finish_setup(x);
  return x;
}

// Takes in whatever the server has sent without waiting for more, and
// re-reads the layout if it changed. Errors the server reports for refused
// requests arrive here too and are dropped.
void follow_layout_changes(Server& x) {
  auto now = std::chrono::steady_clock::now();
  if (now - x.layout_checked < kLayoutCheckInterval) return;
  x.layout_checked = now;
  bool changed = false;
  while (auto event = own(xcb_poll_for_event(x.connection.get()))) {
    uint8_t type = event->response_type & 0x7f;
    if (type == XCB_CONFIGURE_NOTIFY) {
      auto* configure = reinterpret_cast<xcb_configure_notify_event_t*>(event.get());
      if (configure->window == x.root) {
        x.screen.width = configure->width;
        x.screen.height = configure->height;
      }
      changed = true;
    }
    if (x.randr_event_base && type == x.randr_event_base + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
      changed = true;
    }
  }
  if (changed) x.main_display = read_main_display(x);
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

}  // namespace

namespace platform {

bool trusted() {
  return server().has_xtest;
}

Bounds main_display() {
  Server& x = server();
  follow_layout_changes(x);
  return x.main_display;
}

std::optional<Point> cursor() {
  Server& x = server();
  xcb_connection_t* c = x.connection.get();
  auto reply = own(xcb_query_pointer_reply(c, xcb_query_pointer(c, x.root), nullptr));
  if (!reply) return std::nullopt;
  return Point{static_cast<double>(reply->root_x), static_cast<double>(reply->root_y)};
}

// The server keeps modifier state from the modifier keys held through XTest,
// so masks need no stamping here.
void post_key(uint16_t code, bool down, uint64_t) {
  Server& x = server();
  xcb_keycode_t keycode = code < kKeyCodeLimit ? x.keycodes[code] : 0;
  if (keycode) fake_input(x, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode);
}

// Presses and releases happen where the event says, as on a Mac, so the
// pointer moves there first unless the agent's last motion already put it
// there (a click then reaches applications as a press and a release alone).
// The server turns moves into drags by itself.
void post_mouse(uint32_t type, Point point, uint32_t button, uint64_t) {
  Server& x = server();
  std::pair<int, int> target{static_cast<int>(std::lround(point.x)),
                             static_cast<int>(std::lround(point.y))};
  bool press = type == kLeftMouseDown || type == kRightMouseDown || type == kOtherMouseDown;
  bool release = type == kLeftMouseUp || type == kRightMouseUp || type == kOtherMouseUp;
  if (!(press || release) || x.pointer != target) {
    fake_input(x, XCB_MOTION_NOTIFY, 0, static_cast<int16_t>(target.first),
               static_cast<int16_t>(target.second));
    x.pointer = target;
  }
  if (press || release) {
    fake_input(x, press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, x_button(button));
  }
}

// Pixels become clicks of the wheel buttons; what is left over is kept for
// the next wheel command in the same direction, so many small deltas (a
// trackpad's) still scroll.
void post_wheel(int32_t pixels) {
  Server& x = server();
  if ((pixels > 0 && x.wheel_pixels < 0) || (pixels < 0 && x.wheel_pixels > 0)) x.wheel_pixels = 0;
  x.wheel_pixels += pixels;
  int clicks = x.wheel_pixels / kPixelsPerClick;
  x.wheel_pixels -= clicks * kPixelsPerClick;
  click(x, clicks > 0 ? kWheelUp : kWheelDown, std::abs(clicks));
}

void flush() {
  xcb_flush(server().connection.get());
}

}  // namespace platform
