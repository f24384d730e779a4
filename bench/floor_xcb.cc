// The floor for posting on X: for each input line, one XTest event and a
// flush, the cheapest an XTest client can do (XCB: one write per flush, and
// no reads, where Xlib would add two per flush). For text, the requests the
// agent makes for each line's characters: the keymap read once; per line,
// the Caps Lock state asked for (a round trip), then each character a press
// and release of the key that types it plain, or of a keycode the keymap
// leaves empty, given the character's keysym the first time it comes (one
// ChangeKeyboardMapping); a flush per line. The spares are emptied again at
// the end, 100 ms after the last was typed with. (Its text has no shifted
// characters, and Caps Lock is not locked.)
//   floor_xcb motion|key|text < lines
#include <xcb/xcb.h>
#include <xcb/xtest.h>
// The XKB header is C, with a member named `explicit`, a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "text_line.h"

namespace {

struct Keymap {
  std::vector<xcb_keycode_t> spares;                      // the keycodes it leaves empty
  std::unordered_map<xcb_keysym_t, xcb_keycode_t> plain;  // what types each keysym plain
};

Keymap read_keymap(xcb_connection_t* c) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  uint8_t first = setup->min_keycode, count = setup->max_keycode - setup->min_keycode + 1;
  xcb_get_keyboard_mapping_reply_t* mapping =
      xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, first, count), nullptr);
  Keymap keymap;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping);
  uint8_t width = mapping->keysyms_per_keycode;
  for (int i = count - 1; i >= 0; --i) {
    auto keycode = static_cast<xcb_keycode_t>(first + i);
    if (std::all_of(keysyms + i * width, keysyms + (i + 1) * width,
                    [](xcb_keysym_t keysym) { return keysym == 0; })) {
      keymap.spares.push_back(keycode);
    } else if (!keymap.plain.contains(keysyms[i * width]) ||
               keycode < keymap.plain[keysyms[i * width]]) {
      keymap.plain[keysyms[i * width]] = keycode;
    }
  }
  free(mapping);
  return keymap;
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
  Keymap keymap = text ? read_keymap(c) : Keymap{};
  std::unordered_map<xcb_keysym_t, xcb_keycode_t> given;
  xcb_xkb_use_extension_reply_t* xkb =
      text ? xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, 1, 0), nullptr) : nullptr;
  free(xkb);
  std::ios::sync_with_stdio(false);
  std::string line;
  for (long i = 0; std::getline(std::cin, line); ++i) {
    if (text) {
      free(xcb_xkb_get_state_reply(c, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD), nullptr));
      for (char32_t character : text_of(line)) {
        xcb_keysym_t keysym = keysym_of(character);
        auto own_key = keymap.plain.find(keysym);
        xcb_keycode_t keycode = own_key != keymap.plain.end() ? own_key->second : 0;
        if (!keycode) {
          auto [found, added] = given.try_emplace(keysym, 0);
          if (added) {
            found->second = keymap.spares.back();
            keymap.spares.pop_back();
            xcb_keysym_t both[2] = {keysym, keysym};
            xcb_change_keyboard_mapping(c, 1, found->second, 2, both);
          }
          keycode = found->second;
        }
        for (uint8_t type : {XCB_KEY_PRESS, XCB_KEY_RELEASE}) {
          xcb_test_fake_input(c, type, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
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
  // Applications look a key's keysym up when they get to it: the spares are
  // emptied only 100 ms after the last was typed with, as the agent does.
  if (!given.empty()) {
    xcb_flush(c);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  xcb_keysym_t none[2] = {0, 0};
  for (auto [keysym, keycode] : given) xcb_change_keyboard_mapping(c, 1, keycode, 2, none);
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  xcb_disconnect(c);
  return 0;
}
