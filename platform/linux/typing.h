// How a layout types characters with plain key presses: the key, and whether
// Shift goes with it, that types each character in one group of the layout.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "platform/linux/loaders/xkbcommon.h"

namespace platform {

struct Typing {
  uint16_t key;  // evdev's code
  bool shifted;
};

using TypingTable = std::unordered_map<char32_t, Typing>;

// Adds the character `keysym` types, on evdev `key` (with Shift when
// `shifted`), unless the table already has a way to type it: learn the main
// keys before the extra ones, and on each the plain level before the shifted
// one. Return types '\n'.
void learn_typing(TypingTable& table, const Xkbcommon& xkb, uint32_t keysym, uint16_t key,
                  bool shifted);

// Whether `keysym` on evdev `key` is on a key that types a character only
// where the main keys cannot: the keypad's (an application in keypad mode
// reads another sequence from them) and the extra key beside the left Shift.
bool is_extra_key(uint32_t keysym, uint16_t key);

// Every character the first two levels of `keymap`'s group `group` type.
TypingTable typing_from_keymap(const Xkbcommon& xkb, xkb_keymap* keymap, uint32_t group = 0);

// The same, from a keymap's text; empty when it does not compile.
TypingTable typing_from_keymap_text(const Xkbcommon& xkb, const char* text, size_t size);

}  // namespace platform
