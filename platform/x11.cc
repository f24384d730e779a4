// The X Window System backend: input goes in through the XTest extension, the
// main display is RandR's primary monitor, and keys are found by their XKB
// names so each lands on the same physical key as on a Mac.
//
// Nothing per command waits for the server: the display's bounds are kept
// from change notifications, and each command's requests go out in one flush.
// Events are sent through XCB, whose flush is one poll and one write; Xlib's
// makes two more reads besides, which would cost more than the agent's own
// work. Xlib does the rest, at start and on layout changes.
#include <X11/XKBlib.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <fcntl.h>
#include <unistd.h>
#include <xcb/xtest.h>

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
constexpr unsigned kWheelUp = 4;

// Looking for layout notifications reads the connection, which costs system
// calls; a fast stream of pointer commands looks at most this often, a
// slower one before every pointer command.
constexpr std::chrono::milliseconds kLayoutCheckInterval{1};
constexpr unsigned kWheelDown = 5;

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};

struct Server {
  std::unique_ptr<Display, DisplayCloser> display;
  xcb_connection_t* xcb = nullptr;  // the same connection, owned by `display`
  Window root = 0;
  int screen = 0;
  bool has_xtest = false;
  bool has_monitors = false;  // RandR 1.5
  int randr_event_base = 0;
  platform::Bounds main_display{0, 0, 0, 0};
  std::array<KeyCode, kKeyCodeLimit> keycodes{};  // 0: no such key here
  int wheel_pixels = 0;                        // delta not yet turned into clicks, in its direction
  std::optional<std::pair<int, int>> pointer;  // where the last motion put it
  std::chrono::steady_clock::time_point layout_checked;
};

// Xlib's default handlers print and exit; the agent stays silent, and a
// refused request must not end it.
int ignore_error(Display*, XErrorEvent*) {
  return 0;
}
int connection_lost(Display*) {
  _exit(1);
}

// Xlib may print the server's refusal; the agent keeps standard error silent.
Display* open_display_quietly() {
  int saved = dup(STDERR_FILENO);
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDERR_FILENO);
  Display* display = XOpenDisplay(nullptr);
  if (saved >= 0) dup2(saved, STDERR_FILENO);
  for (int fd : {saved, null}) {
    if (fd >= 0) close(fd);
  }
  return display;
}

std::array<KeyCode, kKeyCodeLimit> resolve_keycodes(Display* display) {
  std::array<KeyCode, kKeyCodeLimit> keycodes{};
  XkbDescPtr xkb = XkbGetMap(display, 0, XkbUseCoreKbd);
  if (!xkb) return keycodes;
  if (XkbGetNames(display, XkbKeyNamesMask | XkbKeyAliasesMask, xkb) == Success && xkb->names) {
    auto find = [&](const char* name) -> KeyCode {
      for (int keycode = xkb->min_key_code; keycode <= xkb->max_key_code; ++keycode) {
        if (strncmp(xkb->names->keys[keycode].name, name, XkbKeyNameLength) == 0) return keycode;
      }
      for (int i = 0; i < xkb->names->num_key_aliases; ++i) {
        const XkbKeyAliasRec& alias = xkb->names->key_aliases[i];
        if (strncmp(alias.alias, name, XkbKeyNameLength) != 0) continue;
        for (int keycode = xkb->min_key_code; keycode <= xkb->max_key_code; ++keycode) {
          if (strncmp(xkb->names->keys[keycode].name, alias.real, XkbKeyNameLength) == 0) {
            return keycode;
          }
        }
      }
      return 0;
    };
    for (const KeyPosition& position : kKeyPositions) keycodes[position.code] = find(position.name);
  }
  XkbFreeKeyboard(xkb, 0, True);
  return keycodes;
}

// The primary monitor, else the first, else the whole screen. A round trip,
// made at start and after each notified change only.
platform::Bounds read_main_display(Server& x) {
  Display* display = x.display.get();
  platform::Bounds bounds{0, 0, static_cast<double>(DisplayWidth(display, x.screen)),
                          static_cast<double>(DisplayHeight(display, x.screen))};
  if (!x.has_monitors) return bounds;
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, x.root, True, &count);
  if (!monitors) return bounds;
  if (count > 0) {
    const XRRMonitorInfo* chosen = &monitors[0];
    for (int i = 0; i < count; ++i) {
      if (monitors[i].primary) chosen = &monitors[i];
    }
    bounds = {static_cast<double>(chosen->x), static_cast<double>(chosen->y),
              static_cast<double>(chosen->width), static_cast<double>(chosen->height)};
  }
  XRRFreeMonitors(monitors);
  return bounds;
}

Server connect() {
  Server x;
  x.display.reset(open_display_quietly());
  Display* display = x.display.get();
  if (!display) return x;
  XSetErrorHandler(ignore_error);
  XSetIOErrorHandler(connection_lost);
  x.screen = DefaultScreen(display);
  x.root = RootWindow(display, x.screen);
  int event_base, error_base, major, minor;
  x.has_xtest = XTestQueryExtension(display, &event_base, &error_base, &major, &minor);
  if (!x.has_xtest) return x;
  x.xcb = XGetXCBConnection(display);
  xcb_get_extension_data(x.xcb, &xcb_test_id);  // now, not on the first command
  // Setting a monitor is announced by a ConfigureNotify on the root window;
  // output, mode and screen-size changes by RandR's own event.
  XSelectInput(display, x.root, StructureNotifyMask);
  if (XRRQueryExtension(display, &x.randr_event_base, &error_base) &&
      XRRQueryVersion(display, &major, &minor)) {
    x.has_monitors = major > 1 || (major == 1 && minor >= 5);
    XRRSelectInput(display, x.root, RRScreenChangeNotifyMask);
  }
  x.main_display = read_main_display(x);
  x.keycodes = resolve_keycodes(display);
  return x;
}

Server& server() {
  static Server x = connect();
  return x;
}

// Takes in whatever the server has sent without waiting for more, and
// re-reads the layout if it changed.
void follow_layout_changes(Server& x) {
  auto now = std::chrono::steady_clock::now();
  if (now - x.layout_checked < kLayoutCheckInterval) return;
  x.layout_checked = now;
  Display* display = x.display.get();
  bool changed = false;
  while (XEventsQueued(display, QueuedAfterReading) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    XRRUpdateConfiguration(&event);
    changed = changed || event.type == ConfigureNotify ||
              event.type == x.randr_event_base + RRScreenChangeNotify;
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
  xcb_test_fake_input(x.xcb, type, detail, XCB_CURRENT_TIME, type == XCB_MOTION_NOTIFY ? x.root : 0,
                      root_x, root_y, 0);
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
  Window root, child;
  int root_x, root_y, window_x, window_y;
  unsigned mask;
  if (!XQueryPointer(x.display.get(), x.root, &root, &child, &root_x, &root_y, &window_x, &window_y,
                     &mask)) {
    return std::nullopt;
  }
  return Point{static_cast<double>(root_x), static_cast<double>(root_y)};
}

// The server keeps modifier state from the modifier keys held through XTest,
// so masks need no stamping here.
void post_key(uint16_t code, bool down, uint64_t) {
  Server& x = server();
  KeyCode keycode = code < kKeyCodeLimit ? x.keycodes[code] : 0;
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
  xcb_flush(server().xcb);
}

}  // namespace platform
