// The floor for posting on X: for each input line, one XTest event and a
// flush, the cheapest an XTest client can do (XCB: one write per flush, and
// no reads, where Xlib would add two per flush). For text, each line's
// characters: a keycode the keymap leaves empty is given a character's
// keysym the first time it comes (one ChangeKeyboardMapping), then each
// character is a press and release of its keycode; a flush per line. The
// spares are emptied again at the end.
//   floor_xcb motion|key|text < lines
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// The keycodes the keymap leaves empty.
std::vector<xcb_keycode_t> spares(xcb_connection_t* c) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  uint8_t first = setup->min_keycode, count = setup->max_keycode - setup->min_keycode + 1;
  xcb_get_keyboard_mapping_reply_t* mapping =
      xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, first, count), nullptr);
  std::vector<xcb_keycode_t> empty;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping);
  uint8_t width = mapping->keysyms_per_keycode;
  for (int i = count - 1; i >= 0; --i) {
    if (std::all_of(keysyms + i * width, keysyms + (i + 1) * width,
                    [](xcb_keysym_t keysym) { return keysym == 0; })) {
      empty.push_back(static_cast<xcb_keycode_t>(first + i));
    }
  }
  free(mapping);
  return empty;
}

// The code points of the UTF-8 between `"text":"` and the line's last quote.
std::u32string text_of(const std::string& line) {
  std::u32string characters;
  size_t at = line.find("\"text\":\"") + 8, end = line.rfind('"');
  while (at < end) {
    auto byte = static_cast<unsigned char>(line[at]);
    int length = byte < 0x80 ? 1 : byte < 0xe0 ? 2 : byte < 0xf0 ? 3 : 4;
    char32_t value = length == 1 ? byte : byte & (0x7f >> length);
    for (int i = 1; i < length; ++i) value = value << 6 | (line[at + i] & 0x3f);
    characters += value;
    at += length;
  }
  return characters;
}

xcb_keysym_t keysym_of(char32_t character) {
  return character < 0x100 ? character : 0x01000000 | character;
}

}  // namespace

int main(int argc, char** argv) {
  int screen_number = 0;
  xcb_connection_t* c = xcb_connect(nullptr, &screen_number);
  if (xcb_connection_has_error(c) || argc != 2) return 1;
  bool keys = strcmp(argv[1], "key") == 0, text = strcmp(argv[1], "text") == 0;
  xcb_screen_iterator_t screen = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screen_number; ++i) xcb_screen_next(&screen);
  xcb_window_t root = screen.data->root;
  long width = screen.data->width_in_pixels, height = screen.data->height_in_pixels;
  constexpr uint8_t kKeyA = 38;  // evdev's and Xvfb's keycode for A
  std::vector<xcb_keycode_t> free_keys = text ? spares(c) : std::vector<xcb_keycode_t>{};
  std::unordered_map<xcb_keysym_t, xcb_keycode_t> given;
  std::ios::sync_with_stdio(false);
  std::string line;
  for (long i = 0; std::getline(std::cin, line); ++i) {
    if (text) {
      for (char32_t character : text_of(line)) {
        xcb_keysym_t keysym = keysym_of(character);
        auto [found, added] = given.try_emplace(keysym, 0);
        if (added) {
          found->second = free_keys.back();
          free_keys.pop_back();
          xcb_keysym_t both[2] = {keysym, keysym};
          xcb_change_keyboard_mapping(c, 1, found->second, 2, both);
        }
        for (uint8_t type : {XCB_KEY_PRESS, XCB_KEY_RELEASE}) {
          xcb_test_fake_input(c, type, found->second, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        }
      }
    } else if (keys) {
      xcb_test_fake_input(c, i % 2 == 0 ? XCB_KEY_PRESS : XCB_KEY_RELEASE, kKeyA, XCB_CURRENT_TIME,
                          XCB_NONE, 0, 0, 0);
    } else {
      xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root,
                          static_cast<int16_t>(i * 7919 % 10007 * (width - 1) / 10007),
                          static_cast<int16_t>(i * 104729 % 10009 * (height - 1) / 10009), 0);
    }
    xcb_flush(c);
  }
  xcb_keysym_t none[2] = {0, 0};
  for (auto [keysym, keycode] : given) xcb_change_keyboard_mapping(c, 1, keycode, 2, none);
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  xcb_disconnect(c);
  return 0;
}
