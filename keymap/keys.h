// The agent's keyboard vocabulary: KeyboardEvent.code names mapped to the
// macOS virtual key codes of the same physical keys (ANSI positions).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

struct KeyName {
  std::string_view name;
  uint16_t code;
};

// Every code in the table is below this bound, so held keys fit in a bitset.
constexpr uint16_t kKeyCodeLimit = 128;

extern const std::array<KeyName, 83> keys;

// The virtual key code of `name`, compared byte for byte; nothing when the
// table has no such name.
std::optional<uint16_t> lookup_key(std::string_view name);

// Whether the key is a modifier: Shift, Control, Option (Alt) or Command
// (Meta), on either side.
bool is_modifier(uint16_t code);

// Whether holding the key down repeats it, as on a real keyboard: every key
// but the modifiers and Caps Lock, whose repeats change nothing.
bool key_repeats(uint16_t code);
