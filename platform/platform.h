// The operating-system services the agent needs, in the agent's own terms.
// Each backend (CoreGraphics, X11, the stand-in) is one source file that
// defines these functions; the build links exactly one of them.
//
// The agent decides every value that goes out: event types, button numbers,
// modifier masks and wheel values are the CoreGraphics constants below, and a
// backend only carries them to its system.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "keymap/buttons.h"

namespace platform {

struct Point {
  double x;
  double y;
};

struct Bounds {
  double x;
  double y;
  double width;
  double height;
};

// Mouse event types (CGEventType).
constexpr uint32_t kLeftMouseDown = 1;
constexpr uint32_t kLeftMouseUp = 2;
constexpr uint32_t kRightMouseDown = 3;
constexpr uint32_t kRightMouseUp = 4;
constexpr uint32_t kMouseMoved = 5;
constexpr uint32_t kLeftMouseDragged = 6;
constexpr uint32_t kRightMouseDragged = 7;
constexpr uint32_t kOtherMouseDown = 25;
constexpr uint32_t kOtherMouseUp = 26;
constexpr uint32_t kOtherMouseDragged = 27;

// Whether a mouse event type presses, or releases, a button.
constexpr bool is_press(uint32_t type) {
  return type == kLeftMouseDown || type == kRightMouseDown || type == kOtherMouseDown;
}
constexpr bool is_release(uint32_t type) {
  return type == kLeftMouseUp || type == kRightMouseUp || type == kOtherMouseUp;
}

// Platform button numbers (CGMouseButton), kept with the key tables.
using ::kButtonCenter;
using ::kButtonLeft;
using ::kButtonRight;

// Modifier flag bits (CGEventFlags).
constexpr uint64_t kFlagShift = 0x20000;
constexpr uint64_t kFlagControl = 0x40000;
constexpr uint64_t kFlagAlternate = 0x80000;
constexpr uint64_t kFlagCommand = 0x100000;

// Whether this process may post input events. Asked once, at start.
bool trusted();

// The main display's rectangle in global display coordinates (origin at its
// top-left corner, y downward).
Bounds main_display();

// One display as the system names and places it.
struct Display {
  std::string id;  // the system's own name for it
  Bounds bounds;   // in the coordinates points are posted in
  double scale;    // device pixels per unit of `bounds`
  bool main;       // the display main_display() is
};

// Every display connected now, in the order displays_in_order() puts them.
// Asked on its own, before trusted() and instead of it: it needs no
// permission to post where the system lists displays without one. Empty
// when no display server answers.
std::vector<Display> displays();

// The rectangle of the display that displays() names `id`, read afresh as
// main_display()'s is; nothing when no display connected now has that name.
std::optional<Bounds> display_named(std::string_view id);

// The current pointer location, or nothing when the system gives none.
std::optional<Point> cursor();

// The longest pause between two presses of a button that still makes them
// a double click: the system's setting on macOS, 500 ms elsewhere (where
// applications count clicks themselves).
std::chrono::milliseconds double_click_interval();

// Each post creates one event, sets its flags to exactly `mask` (the wheel
// event gets no flags), posts it where device events enter the system and
// releases it. An event the system refuses to create is skipped.
// `repeat` marks a down for a key already down: the controller passes on a
// repeat, which each system shows the way its own keyboards' repeats look.
void post_key(uint16_t code, bool down, bool repeat, uint64_t mask);
// `clicks` is the click count a press or release carries (1 single, 2
// double, ...), the held button's for a drag, 0 for a plain move; only macOS
// puts it on the event, other systems count clicks from event times.
void post_mouse(uint32_t type, Point point, uint32_t button, uint64_t mask, int64_t clicks);
// Relative device motion by `dx`, `dy` pixels of the display the pointer is
// on, as a mouse's: an application that has locked the pointer gets them
// unchanged, past the screen's edges; otherwise the pointer moves by them,
// clamped as the system clamps a mouse. `type`, `button`, `mask` and `clicks`
// are as for post_mouse's moves and drags. A system that takes whole pixels
// carries the fractions over to the next motion, per axis.
void post_motion(uint32_t type, double dx, double dy, uint32_t button, uint64_t mask,
                 int64_t clicks);
// Wheel pixels, as CoreGraphics counts them: `vertical` positive up,
// `horizontal` positive left; both axes go in one event where the system has
// one.
void post_wheel(int32_t vertical, int32_t horizontal);
// Types `count` characters as text input, whatever the keyboard layout and
// the modifiers held, each pressed and released on its own; U+000A is Return
// and U+0009 Tab. Where the platform can only press keys (uinput, EIS),
// characters the layout cannot type are left out.
void post_text(const char32_t* characters, size_t count);

// Called once for each read of the agent's input, before the commands it
// brought are handled. A backend that follows the system's announcements
// (a new layout or keymap) takes them in afresh after this, once, when a
// command needs them: a change announced before the read then applies to
// every command it brought, at the cost of one look per read rather than
// per command.
void on_input();

// Once input has stopped for a while, a backend may have something of its
// own to finish (the Wayland backend gives back the layout's keymap after
// text). How long from now it waits for more input before that (0 or less:
// no longer); nothing when it has nothing to finish. Asked before each read
// of the agent's input.
std::optional<std::chrono::milliseconds> idle_bound();

// Called when no input came within idle_bound(); what it posts goes out
// with the next flush.
void on_idle();

// Hands everything posted so far to the system; called once per command,
// before the next line is read. False when the session has ended for good
// (the display server has closed the connection, say): the agent then lets
// go of what it can and ends, with session_end() saying why.
bool flush();

// What ended the session, once flush has answered false: a few words for
// the person ("the X server closed the connection").
const char* session_end();

// The display server's connection, whose closing ends the session (X,
// Wayland, the compositor's input server, the server uinput reads the
// layout from); -1 where there is none. The agent has the system signal it
// when the connection closes, rather than keep a thread waiting on the
// connection: the server would then have a waiter to look at on the
// connection at every request it read. session_end() then says what closed.
int session_connection();

// Called once, on a thread of its own, after the agent has reported that it
// is ready: waits until the session ends for good by what the connection
// does not show (the portal closing the session, a permission taken back),
// and returns what ended it; or until the descriptor `quit` becomes
// readable (the agent is ending anyway), and returns nullptr. Returns
// nullptr at once where nothing else is to be watched. It touches nothing
// the agent's own thread uses but the descriptors it waits on.
const char* await_session_end(int quit);

// Called once, after the last flush, before the process ends: waits a short,
// bounded time for the system to have taken everything posted, so that the
// final releases are not lost with the process.
void finish();

}  // namespace platform
