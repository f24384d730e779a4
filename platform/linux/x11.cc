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
#include "platform/linux/x11.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/displays.h"
#include "platform/linux/backend.h"

namespace x11 {

constexpr uint8_t kWheelUp = 4;
constexpr uint8_t kWheelDown = 5;
constexpr uint8_t kWheelLeft = 6;
constexpr uint8_t kWheelRight = 7;

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

void fake_input(Server& x, uint8_t type, uint8_t detail, int16_t root_x, int16_t root_y) {
  xcb_test_fake_input(x.connection.get(), type, detail, XCB_CURRENT_TIME,
                      type == XCB_MOTION_NOTIFY ? x.root : XCB_NONE, root_x, root_y, 0);
}

void click(Server& x, uint8_t button, int times) {
  for (int i = 0; i < times; ++i) {
    fake_input(x, XCB_BUTTON_PRESS, button);
    fake_input(x, XCB_BUTTON_RELEASE, button);
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

}  // namespace x11

const platform::Backend platform::kX11Backend = x11::kBackend;
const platform::Geometry platform::kX11Geometry = x11::kGeometry;
