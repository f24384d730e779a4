// How a layout types characters with plain key presses, for the backends
// that can only press keys (EIS, uinput): the key, and whether Shift goes
// with it, that types each character on the layout's first group.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "platform/xkbcommon.h"

namespace platform {

struct Typing {
  uint16_t key;  // evdev's code
  bool shifted;
};

using TypingTable = std::unordered_map<char32_t, Typing>;

// Adds the character `keysym` types, on evdev `key` (with Shift when
// `shifted`), unless the table already has a way to type it: learn the
// plain level before the shifted one. Return types '\n'.
void learn_typing(TypingTable& table, const Xkbcommon& xkb, uint32_t keysym, uint16_t key,
                  bool shifted);

// Every character the first two levels of `keymap`'s first group type.
TypingTable typing_from_keymap(const Xkbcommon& xkb, xkb_keymap* keymap);

// The same, from a keymap's text; empty when it does not compile.
TypingTable typing_from_keymap_text(const Xkbcommon& xkb, const char* text, size_t size);

}  // namespace platform
