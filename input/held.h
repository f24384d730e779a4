// What the agent itself holds down, and the modifier mask that follows from it.
// The agent never reads the real keyboard or pointer; it remembers its own
// presses so that later events carry the right modifiers and moves become drags.
#pragma once

#include <bitset>
#include <cstdint>

#include "keymap/keys.h"

// Virtual key codes held down, indexed by code.
extern std::bitset<kKeyCodeLimit> pressed;

// Pointer buttons held down, indexed by MouseEvent.button (0 main, 1
// auxiliary, 2 secondary).
extern std::bitset<3> buttons;

struct ButtonInfo {
  uint32_t press_type;
  uint32_t release_type;
  uint32_t platform_button;
};

// Indexed by MouseEvent.button. Note the two numberings differ: the auxiliary
// button is the platform's center button (2), the secondary its right (1).
extern const ButtonInfo button_table[3];

// The Shift, Control, Option and Command bits of the modifier keys in `pressed`.
uint64_t flags();
