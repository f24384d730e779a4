#include "keymap/keys.h"

#include <algorithm>

namespace {

// Sorted by name at compile time so lookups are a binary search with no
// start-up work and no heap. (An insertion sort: not every standard library
// in use has a constexpr std::sort.)
constexpr std::array<KeyName, 83> sorted_by_name(std::array<KeyName, 83> table) {
  for (size_t i = 1; i < table.size(); ++i) {
    for (size_t j = i; j > 0 && table[j].name < table[j - 1].name; --j) {
      std::swap(table[j], table[j - 1]);
    }
  }
  return table;
}

}  // namespace

constexpr std::array<KeyName, 83> keys = sorted_by_name({{
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
}});

static_assert(std::all_of(keys.begin(), keys.end(),
                          [](const KeyName& key) { return key.code < kKeyCodeLimit; }));
static_assert(std::adjacent_find(keys.begin(), keys.end(), [](const KeyName& a, const KeyName& b) {
                return a.name == b.name;
              }) == keys.end());

std::optional<uint16_t> lookup_key(std::string_view name) {
  auto found =
      std::lower_bound(keys.begin(), keys.end(), name,
                       [](const KeyName& key, std::string_view n) { return key.name < n; });
  if (found == keys.end() || found->name != name) return std::nullopt;
  return found->code;
}
