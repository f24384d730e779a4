#include "keymap/keys.h"

#include <algorithm>

constexpr std::array<KeyName, 83> keys = {{
    {"KeyA", 0},          {"KeyS", 1},          {"KeyD", 2},        {"KeyF", 3},
    {"KeyH", 4},          {"KeyG", 5},          {"KeyZ", 6},        {"KeyX", 7},
    {"KeyC", 8},          {"KeyV", 9},          {"KeyB", 11},       {"KeyQ", 12},
    {"KeyW", 13},         {"KeyE", 14},         {"KeyR", 15},       {"KeyY", 16},
    {"KeyT", 17},         {"Digit1", 18},       {"Digit2", 19},     {"Digit3", 20},
    {"Digit4", 21},       {"Digit6", 22},       {"Digit5", 23},     {"Equal", 24},
    {"Digit9", 25},       {"Digit7", 26},       {"Minus", 27},      {"Digit8", 28},
    {"Digit0", 29},       {"BracketRight", 30}, {"KeyO", 31},       {"KeyU", 32},
    {"BracketLeft", 33},  {"KeyI", 34},         {"KeyP", 35},       {"Enter", 36},
    {"KeyL", 37},         {"KeyJ", 38},         {"Quote", 39},      {"KeyK", 40},
    {"Semicolon", 41},    {"Backslash", 42},    {"Comma", 43},      {"Slash", 44},
    {"KeyN", 45},         {"KeyM", 46},         {"Period", 47},     {"Tab", 48},
    {"Space", 49},        {"Backquote", 50},    {"Backspace", 51},  {"Escape", 53},
    {"MetaRight", 54},    {"MetaLeft", 55},     {"ShiftLeft", 56},  {"CapsLock", 57},
    {"AltLeft", 58},      {"ControlLeft", 59},  {"ShiftRight", 60}, {"AltRight", 61},
    {"ControlRight", 62}, {"F1", 122},          {"F2", 120},        {"F3", 99},
    {"F4", 118},          {"F5", 96},           {"F6", 97},         {"F7", 98},
    {"F8", 100},          {"F9", 101},          {"F10", 109},       {"F11", 103},
    {"F12", 111},         {"Insert", 114},      {"Home", 115},      {"PageUp", 116},
    {"Delete", 117},      {"End", 119},         {"PageDown", 121},  {"ArrowLeft", 123},
    {"ArrowRight", 124},  {"ArrowDown", 125},   {"ArrowUp", 126},
}};

static_assert(std::all_of(keys.begin(), keys.end(),
                          [](const KeyName& key) { return key.code < kKeyCodeLimit; }));

namespace {

// Every key command looks a name up, so the names sit in an open-addressing
// hash table built at compile time: one hash and usually one comparison.
constexpr uint32_t hash_name(std::string_view name) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (char c : name) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
  return hash;
}

constexpr size_t kSlots = 256;
constexpr uint8_t kEmpty = 0xFF;

constexpr std::array<uint8_t, kSlots> build_index() {
  std::array<uint8_t, kSlots> slots{};
  for (uint8_t& slot : slots) slot = kEmpty;
  for (size_t i = 0; i < keys.size(); ++i) {
    size_t at = hash_name(keys[i].name) % kSlots;
    while (slots[at] != kEmpty) at = (at + 1) % kSlots;
    slots[at] = static_cast<uint8_t>(i);
  }
  return slots;
}

constexpr std::array<uint8_t, kSlots> kIndex = build_index();

constexpr bool names_unique() {
  for (size_t i = 0; i < keys.size(); ++i) {
    for (size_t j = i + 1; j < keys.size(); ++j) {
      if (keys[i].name == keys[j].name) return false;
    }
  }
  return true;
}
static_assert(names_unique());

}  // namespace

std::optional<uint16_t> lookup_key(std::string_view name) {
  for (size_t at = hash_name(name) % kSlots; kIndex[at] != kEmpty; at = (at + 1) % kSlots) {
    if (keys[kIndex[at]].name == name) return keys[kIndex[at]].code;
  }
  return std::nullopt;
}

// The modifiers are the codes 54 (MetaRight) to 62 (ControlRight), Caps Lock
// (57) amid them.
constexpr uint16_t kCapsLock = 57;

bool is_modifier(uint16_t code) {
  return code >= 54 && code <= 62 && code != kCapsLock;
}

bool key_repeats(uint16_t code) {
  return !is_modifier(code) && code != kCapsLock;
}
