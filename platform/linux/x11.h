// The X11 backend's own header, for its files alone: the connection's
// state, which they all work on, and the functions one file gives the others.
// x11.cc holds the backend's table, the pointer and the keys; x11_connection.cc
// the connection, its set-up and the displays; x11_repeat.cc the keyboards'
// repeat; x11_keymap.cc following the keymap; x11_text.cc text on the
// keymap's keys and its spares; x11_spares.cc the record of the spares.
#pragma once

#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>
// The XKB header is C, with a member named `explicit`, a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <array>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "keymap/keys.h"
#include "platform/linux/typing.h"
#include "platform/motion.h"
#include "platform/platform.h"
#include "platform/wheel.h"

namespace x11 {

using platform::Bounds;
using platform::learn_typing;
using platform::Point;

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

// x11_connection.cc

// Once the agent is asked to stop, the waits on the server end by this
// deadline, kAnswerPatience after the first that saw the request, in all;
// the final confirmation at exit gets a deadline of its own.
extern std::optional<Clock::time_point> stop_deadline;

// The answer to request `sequence` (to be freed), or nothing when the
// connection has failed, when none came within `patience` (where given), or
// by the stop's deadline: a server that does not answer (stopped, say) keeps
// the agent no longer than that. The wait goes in slices, so that a stop
// request is seen however it falls.
void* await_answer(xcb_connection_t* c, unsigned sequence,
                   std::optional<std::chrono::milliseconds> patience = std::nullopt,
                   xcb_generic_error_t** error = nullptr);

// The reply to `cookie`, awaited as above.
template <typename Reply, typename Cookie>
Owned<Reply> answer(xcb_connection_t* c, Cookie cookie,
                    std::optional<std::chrono::milliseconds> patience = std::nullopt) {
  return own(static_cast<Reply*>(await_answer(c, cookie.sequence, patience)));
}

// Round trips, made at start and after each notified change only.
void read_displays(Server& x);

// The one connection, made at the first call: for posting input through
// XTest, or (for the uinput backend) for reading the layout alone.
Server& connection(bool posts = true);

// The connection with its set-up complete.
Server& server();

// x11_repeat.cc

// Turns the repeat of the XTest keyboard and of the core keyboard's copy
// off, a round trip; restore_repeat puts every keyboard's back as found.
void turn_off_repeat(Server& x, xcb_xkb_get_controls_cookie_t core_asked,
                     const xcb_input_xi_query_device_reply_t* devices);
void restore_repeat(Server& x);

// x11_keymap.cc

// The code of each key of the key table, by the key names asked for with
// ask_key_names.
std::array<xcb_keycode_t, kKeyCodeLimit> keycodes_from(const xcb_xkb_get_names_reply_t* names);
xcb_xkb_get_names_cookie_t ask_key_names(xcb_connection_t* c);

// Takes in what the server has sent, once per read of the agent's input.
void follow_changes(Server& x);

// Reads the keymap: the spares, the first time, and the typing tables.
void read_keymap(Server& x);

// x11_spares.cc

// Writes this agent's record of its spares afresh: one request.
void record_spares(Server& x);

// Gives back the spares of agents gone, with the server grabbed.
void give_back_spares_of_agents_gone(Server& x);

// x11_text.cc

struct KeyboardState {
  bool caps_locked;
  uint8_t group;  // the layout in force, 0 for the first
};

// A round trip, once for each text.
KeyboardState keyboard_state(Server& x);

void post_text(const char32_t* text, size_t count);

// Empties every spare the agent gave a keysym, once settled.
void restore_spares(Server& x);

// x11.cc

void fake_input(Server& x, uint8_t type, uint8_t detail, int16_t root_x = 0, int16_t root_y = 0);

}  // namespace x11
