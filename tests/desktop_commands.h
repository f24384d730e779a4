// What the end-to-end tests on a real desktop (X11, Wayland) send the agent,
// and how they read what arrived: lines such as "key down a with shift".
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

using Seen = std::vector<std::string>;

std::string key(std::string_view code, bool down);
std::string move(double x, double y);
std::string button(double x, double y, int index, bool down);
// Relative motion by `dx`, `dy` pixels.
std::string movement(double dx, double dy);
// A move with one movement member, `value` as it stands in the JSON.
std::string movement_alone(std::string_view name, std::string_view value);
// `commands` `times` over.
std::string repeated(const std::string& commands, int times);
// The same commands with fractions of the display named `display`.
std::string move_on(std::string_view display, double x, double y);
std::string button_on(std::string_view display, double x, double y, int index, bool down);
std::string wheel(double delta);
std::string wheel(double delta, double delta_x);
std::string sideways(double delta_x);  // a wheel with deltaX alone

// The sideways wheel's table: 100 pixels a step, leftovers carried while the
// direction stays, both axes in one command. Each backend checks what
// arrives: left 1; right 2 (50 left over); right 1 (10 left over); then
// down 1 and left 1 from one command.
std::string sideways_wheel_script();
std::string release();
// A text command; `characters` is UTF-8, with no quotes or backslashes but
// for line feeds and tabs.
std::string text(std::string_view characters);

// A stream and what it must bring: commands, and the lines expected of them.
struct Script {
  std::string commands;
  Seen expected;
};

// Every pair of modifier keys held around a press of A; expects one line
// "key down a with <words> (<first>+<second>)" per pair, the words in the
// order shift, control, mod1, mod4. `pair_presses` labels what arrived the
// same way.
Script modifier_pairs();
Seen pair_presses(const Seen& seen, const Script& script);

// Every key of the table pressed and released, Caps Lock twice so its lock
// ends off; expects "<code> <keysym>" per press, the keysym the key's
// position has under the US layout, unshifted. `landed_keys` labels what
// arrived the same way.
Script every_key();
Seen landed_keys(const Seen& seen, const Script& script);

// The rule for repeats, one case a row: a held key is pressed once (the
// system adds no repeats of its own), each further down of a held key is
// another press, a modifier's or Caps Lock's further downs change nothing,
// and one up or a release lets go. Most cases end by typing A, which shows
// what is still in force. The commands of `held_for` go out that long after
// those of `commands`.
struct RepeatCase {
  const char* name;
  std::string commands;
  std::chrono::milliseconds held_for{0};
  std::string then;
  Seen keys;   // as the X11 and Wayland recorders word them
  Seen evdev;  // as the kernel reports them: "KEY <code> <value>"
};
std::vector<RepeatCase> repeat_cases();

// How the agent ends when its session ends under it (its display server
// gone): with this exit status, by itself, within kSessionEndBound (the
// bound docs/protocol.md gives, with room for a loaded machine). A stop request ends its
// waits on a server that does not answer within 250 ms (and its last one,
// at exit, within 250 ms more), so it ends within kStopWaitsBound, well
// before its last resort: ending by the signal at 1 s whatever it is doing,
// which kStopBound leaves room for.
constexpr int kSessionEnded = 2;
constexpr std::chrono::milliseconds kSessionEndBound{1000};
constexpr std::chrono::milliseconds kStopWaitsBound{750};
constexpr std::chrono::milliseconds kStopBound{1500};

// Where two long lists differ, one line each, for a failure's message
// (GoogleTest prints only the first 32 members of a list).
std::string differences(const Seen& got, const Seen& expected);

// The lines of `seen` that start with `prefix` ("key", "button").
Seen starting_with(const Seen& seen, std::string_view prefix);
