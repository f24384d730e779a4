// What the end-to-end tests on a real desktop (X11, Wayland) send the agent,
// and how they read what arrived: lines such as "key down a with shift".
#pragma once

#include <string>
#include <string_view>
#include <vector>

using Seen = std::vector<std::string>;

std::string key(std::string_view code, bool down);
std::string move(double x, double y);
std::string button(double x, double y, int index, bool down);
std::string wheel(double delta);

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
