// The uinput backend: a keyboard and a pointer made with the kernel's uinput
// device, so input enters below any display server, as a real keyboard and
// mouse's would. It works under every desktop (GNOME and KDE Plasma, which
// offer a plain client no way to inject, included) and on a text console,
// for whoever may write to /dev/uinput.
//
// The pointer is absolute, over the whole desktop: its range is mapped onto
// the box around all screens, which the display server reports to any
// client (xdg-output on Wayland, RandR on X); with no display server the
// main display is the device's whole range. Relative motion goes through a
// mouse of its own: a display server (libinput) takes a device with both
// absolute and relative axes for neither a mouse nor a tablet. Each
// command's events go out in one write per device, ended by one SYN_REPORT.
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "keymap/evdev.h"
#include "keymap/keys.h"
#include "platform/absolute.h"
#include "platform/linux/backend.h"
#include "platform/motion.h"
#include "platform/stop.h"
#include "platform/wheel.h"

namespace {

using platform::Bounds;
using platform::Point;

// The kernel counts a wheel step as 120 in high resolution and derives
// neither count from the other, so both go out.
constexpr int kHighResolutionPerStep = 120;

// A display server picks a new device up a moment after the kernel makes it,
// and input sent before is lost; the console takes it at once.
constexpr std::chrono::milliseconds kDisplayServerPickUp{300};

// The kernel keeps 64 events for each reader of a keyboard, and drops them
// all when a reader falls further behind; text, many keys in one command,
// rests a millisecond after each 16 events so that the display server keeps
// up even when it misses a rest or two. (With 32, a reader on an emulated
// processor lost events now and then.)
constexpr size_t kEventsBeforeRest = 16;
constexpr std::chrono::milliseconds kRest{1};

// The keys the keyboard has: the main block, the keypad and the keys
// layouts put characters on (102nd, Ro, Yen and the like), without the
// power key.
constexpr uint16_t kLastKey = KEY_COMPOSE;
constexpr bool declared(uint16_t key) {
  return key >= KEY_ESC && key <= kLastKey && key != KEY_POWER;
}

// Closes its descriptor, destroying the device the kernel made with it.
struct Device {
  int fd = -1;
  std::vector<input_event> pending;  // this command's events
  ~Device() {
    if (fd >= 0) close(fd);
  }
};

struct Uinput {
  Device keyboard, pointer, mouse;
  HeldKeys held{};                               // by the key table's codes
  size_t unrested = 0;                           // text's events since the last rest
  const platform::Geometry* geometry = nullptr;  // none without a display server
  std::optional<Point> last_point;
  WheelCarry wheel, wheel_sideways;
  MotionCarry motion;
  std::array<int32_t, 2> last_value{};  // the pointer's, on ABS_X and ABS_Y
  bool moved_relatively = false;        // since the last absolute point
};

Uinput the_devices;

int open_uinput() {
  return open("/dev/uinput", O_WRONLY | O_CLOEXEC);
}

bool setup(int fd, const char* name) {
  uinput_setup device{};
  device.id = {BUS_VIRTUAL, 0x1209, 0x0001, 1};
  snprintf(device.name, sizeof device.name, "%s", name);
  return ioctl(fd, UI_DEV_SETUP, &device) == 0 && ioctl(fd, UI_DEV_CREATE) == 0;
}

bool make_keyboard(Device& keyboard) {
  keyboard.fd = open_uinput();
  if (keyboard.fd < 0 || ioctl(keyboard.fd, UI_SET_EVBIT, EV_KEY) != 0) return false;
  for (uint16_t key = KEY_ESC; key <= kLastKey; ++key) {
    if (declared(key)) ioctl(keyboard.fd, UI_SET_KEYBIT, key);
  }
  for (const KeyName& key : keys) ioctl(keyboard.fd, UI_SET_KEYBIT, evdev_code(key.code));
  return setup(keyboard.fd, "input-agent keyboard");
}

bool make_pointer(Device& pointer) {
  pointer.fd = open_uinput();
  int fd = pointer.fd;
  if (fd < 0) return false;
  ioctl(fd, UI_SET_EVBIT, EV_KEY);
  for (int button : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}) ioctl(fd, UI_SET_KEYBIT, button);
  ioctl(fd, UI_SET_EVBIT, EV_REL);
  ioctl(fd, UI_SET_RELBIT, REL_WHEEL);
  ioctl(fd, UI_SET_RELBIT, REL_WHEEL_HI_RES);
  ioctl(fd, UI_SET_RELBIT, REL_HWHEEL);
  ioctl(fd, UI_SET_RELBIT, REL_HWHEEL_HI_RES);
  ioctl(fd, UI_SET_EVBIT, EV_ABS);
  for (uint16_t axis : {ABS_X, ABS_Y}) {
    ioctl(fd, UI_SET_ABSBIT, axis);
    uinput_abs_setup range{};
    range.code = axis;
    range.absinfo.maximum = kAbsoluteSize - 1;
    if (ioctl(fd, UI_ABS_SETUP, &range) != 0) return false;
  }
  return setup(fd, "input-agent pointer");
}

// Relative axes and the buttons, which a display server looks for to take a
// device for a mouse; the buttons are pressed on the pointer alone.
bool make_mouse(Device& mouse) {
  mouse.fd = open_uinput();
  int fd = mouse.fd;
  if (fd < 0) return false;
  ioctl(fd, UI_SET_EVBIT, EV_KEY);
  for (int button : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}) ioctl(fd, UI_SET_KEYBIT, button);
  ioctl(fd, UI_SET_EVBIT, EV_REL);
  ioctl(fd, UI_SET_RELBIT, REL_X);
  ioctl(fd, UI_SET_RELBIT, REL_Y);
  return setup(fd, "input-agent mouse");
}

void add(Device& device, uint16_t type, uint16_t code, int32_t value) {
  input_event event{};
  event.type = type;
  event.code = code;
  event.value = value;
  device.pending.push_back(event);
}

// Ends the command's events with a report and writes them at once.
bool send(Device& device) {
  if (device.pending.empty()) return true;
  if (device.pending.back().type != EV_SYN) add(device, EV_SYN, SYN_REPORT, 0);
  size_t size = device.pending.size() * sizeof(input_event);
  bool written = write(device.fd, device.pending.data(), size) == static_cast<ssize_t>(size);
  device.pending.clear();
  return written;
}

// No display server is needed: the kernel refuses or takes the devices.
platform::Reach connect() {
  Uinput& u = the_devices;
  // The display server that answers, Wayland's first.
  if (platform::wayland_session() && platform::kWaylandGeometry.connect()) {
    u.geometry = &platform::kWaylandGeometry;
  } else if (platform::x_session() && platform::kX11Geometry.connect()) {
    u.geometry = &platform::kX11Geometry;
  }
  u.keyboard.pending.reserve(2 * std::size(keys) + 1);
  u.pointer.pending.reserve(16);
  u.mouse.pending.reserve(4);
  if (!make_keyboard(u.keyboard) || !make_pointer(u.pointer) || !make_mouse(u.mouse)) {
    return platform::Reach::kRefused;
  }
  if (u.geometry) std::this_thread::sleep_for(kDisplayServerPickUp);
  return platform::Reach::kReady;
}

// Without a display server, the device's whole range.
Bounds main_display() {
  const platform::Geometry* geometry = the_devices.geometry;
  return geometry ? geometry->main_display() : Bounds{0, 0, kAbsoluteSize, kAbsoluteSize};
}

// A named display, where the display server lists it.
std::optional<Bounds> display_named(std::string_view id) {
  const platform::Geometry* geometry = the_devices.geometry;
  return geometry ? geometry->display_named(id) : std::nullopt;
}

// Where the display server says the pointer is, where it can (X11); else
// where the agent last put it.
std::optional<Point> cursor() {
  const platform::Geometry* geometry = the_devices.geometry;
  std::optional<Point> seen = geometry ? geometry->cursor() : std::nullopt;
  return seen ? seen : the_devices.last_point;
}

void post_key(uint16_t code, bool down, uint64_t) {
  uint16_t key = evdev_code(code);
  if (!key) return;
  the_devices.held[code] = down;
  add(the_devices.keyboard, EV_KEY, key, down ? 1 : 0);
}

// Text is typed with the session's keymap, read from its display server:
// each character on the key, plain or with Shift, that types it there, each
// key event in a report of its own as a keyboard sends it, the modifier
// keys the agent holds up meanwhile. Characters the keymap cannot type that
// way, and all text without a display server, are left out.
void press(Uinput& u, uint16_t key, bool down) {
  add(u.keyboard, EV_KEY, key, down ? 1 : 0);
  add(u.keyboard, EV_SYN, SYN_REPORT, 0);
}

void press_held_modifiers(Uinput& u, bool down) {
  ::press_held_modifiers(u.held, down, [&](uint16_t key, bool to) { press(u, key, to); });
}

// Writes what is pending and rests, once a reader may have fallen
// kEventsBeforeRest behind since the last rest.
void rest_when_due(Uinput& u) {
  if (u.unrested + u.keyboard.pending.size() < kEventsBeforeRest) return;
  send(u.keyboard);
  std::this_thread::sleep_for(kRest);
  u.unrested = 0;
}

void type_key(Uinput& u, uint16_t key, bool shifted) {
  ::type_key(u.held, key, shifted, [&](uint16_t code, bool down) { press(u, code, down); });
}

void post_text(const char32_t* text, size_t count) {
  Uinput& u = the_devices;
  if (!u.geometry) return;
  const platform::TypingTable& typing = u.geometry->typing();
  if (typing.empty()) return;
  press_held_modifiers(u, false);
  // The agent's end ends the text where it is: in a session that has
  // ended, the rest would reach whatever comes next.
  for (size_t i = 0; i < count && !ending(); ++i) {
    auto found = typing.find(text[i]);
    if (found == typing.end() || !declared(found->second.key)) continue;
    type_key(u, found->second.key, found->second.shifted);
    rest_when_due(u);
  }
  press_held_modifiers(u, true);
  u.unrested += u.keyboard.pending.size();
}

// The kernel passes on an absolute value only when it differs from the
// axis's last one (which starts at 0): a point the agent put the pointer at
// before, which the person's mouse may have left since, would otherwise
// carry no position. So the value next to it goes first, in the same report,
// of which readers take the last value.
void add_position(Uinput& u, uint16_t axis, int32_t value) {
  int32_t& last = u.last_value[axis == ABS_Y];
  if (value == last) add(u.pointer, EV_ABS, axis, value > 0 ? value - 1 : value + 1);
  add(u.pointer, EV_ABS, axis, value);
  last = value;
}

// After relative motion, a release at the point the agent reckons the
// pointer is at (a release of everything) lets go where the pointer really
// is, without a move: the reckoning is off where the display server
// accelerates, and a game holding the pointer would read a move as motion.
void post_mouse(uint32_t type, Point point, uint32_t button, uint64_t, int64_t) {
  Uinput& u = the_devices;
  bool press = platform::is_press(type), release = platform::is_release(type);
  bool in_place = release && u.moved_relatively && u.last_point && point.x == u.last_point->x &&
                  point.y == u.last_point->y;
  if (!in_place) {
    Bounds desktop = u.geometry ? u.geometry->desktop() : main_display();
    add_position(u, ABS_X, absolute_value(point.x, desktop.x, desktop.width));
    add_position(u, ABS_Y, absolute_value(point.y, desktop.y, desktop.height));
    u.last_point = point;
    u.moved_relatively = false;
  }
  if (press || release) add(u.pointer, EV_KEY, evdev_button(button), press ? 1 : 0);
}

// Whole pixels, the fractions carried; the kernel drops a relative value of
// 0. Where no display server tells where the pointer is, the agent reckons
// it moved by as much, within the desktop: that is exact unless the display
// server accelerates the mouse.
void post_motion(uint32_t, double dx, double dy, uint32_t, uint64_t, int64_t) {
  Uinput& u = the_devices;
  int32_t whole_x = take_whole_pixels(u.motion.x, dx);
  int32_t whole_y = take_whole_pixels(u.motion.y, dy);
  if (whole_x) add(u.mouse, EV_REL, REL_X, whole_x);
  if (whole_y) add(u.mouse, EV_REL, REL_Y, whole_y);
  u.moved_relatively = true;
  if (!u.last_point) return;
  Bounds desktop = u.geometry ? u.geometry->desktop() : main_display();
  u.last_point =
      Point{std::clamp(u.last_point->x + whole_x, desktop.x, desktop.x + desktop.width - 1),
            std::clamp(u.last_point->y + whole_y, desktop.y, desktop.y + desktop.height - 1)};
}

// Positive pixels scroll up, as evdev's wheel counts, and left, which its
// horizontal wheel counts negative; both go in the command's one report.
void post_wheel(int32_t vertical, int32_t horizontal) {
  Uinput& u = the_devices;
  auto up = static_cast<int32_t>(take_wheel_steps(u.wheel, vertical));
  auto right = static_cast<int32_t>(-take_wheel_steps(u.wheel_sideways, horizontal));
  if (up != 0) {
    add(u.pointer, EV_REL, REL_WHEEL, up);
    add(u.pointer, EV_REL, REL_WHEEL_HI_RES, up * kHighResolutionPerStep);
  }
  if (right != 0) {
    add(u.pointer, EV_REL, REL_HWHEEL, right);
    add(u.pointer, EV_REL, REL_HWHEEL_HI_RES, right * kHighResolutionPerStep);
  }
}

void on_input() {
  if (the_devices.geometry) the_devices.geometry->on_input();
}

bool flush() {
  Uinput& u = the_devices;
  return send(u.keyboard) && send(u.pointer) && send(u.mouse);
}

const char* session_end() {
  return "the display server closed the connection";
}

// The kernel's devices stay as long as the agent; the session it types into
// ends with the display server it reads the layout from, and the agent with
// it: what it sent afterwards would reach whatever comes next on the
// machine, a login screen or another person's session. On a text console
// nothing ends it.
int session_connection() {
  const platform::Geometry* geometry = the_devices.geometry;
  return geometry ? geometry->session_connection() : -1;
}

// Writes to uinput reach the kernel at once; when the agent's descriptors
// close, the kernel destroys both devices and lets go of what they held.
void finish() {}

// Named here, where these functions are the ones in scope.
constexpr platform::Backend kBackend = {
    connect,   main_display, display_named,        cursor,
    post_key,  post_mouse,   post_motion,          post_wheel,
    post_text, on_input,     platform::never_idle, platform::nothing_when_idle,
    flush,     session_end,  session_connection,   platform::nothing_else_ends_it,
    finish,
};

}  // namespace

const platform::Backend platform::kUinputBackend = kBackend;
