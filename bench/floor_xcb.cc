// The floor for posting on X: for each input line, one XTest event and a
// flush, the cheapest an XTest client can do (XCB: one write per flush, and
// no reads, where Xlib would add two per flush).
//   floor_xcb motion|key < lines
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstring>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  int screen_number = 0;
  xcb_connection_t* c = xcb_connect(nullptr, &screen_number);
  if (xcb_connection_has_error(c) || argc != 2) return 1;
  bool keys = strcmp(argv[1], "key") == 0;
  xcb_screen_iterator_t screen = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screen_number; ++i) xcb_screen_next(&screen);
  xcb_window_t root = screen.data->root;
  long width = screen.data->width_in_pixels, height = screen.data->height_in_pixels;
  constexpr uint8_t kKeyA = 38;  // evdev's and Xvfb's keycode for A
  std::ios::sync_with_stdio(false);
  std::string line;
  for (long i = 0; std::getline(std::cin, line); ++i) {
    if (keys) {
      xcb_test_fake_input(c, i % 2 == 0 ? XCB_KEY_PRESS : XCB_KEY_RELEASE, kKeyA, XCB_CURRENT_TIME,
                          XCB_NONE, 0, 0, 0);
    } else {
      xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root,
                          static_cast<int16_t>(i * 7919 % 10007 * (width - 1) / 10007),
                          static_cast<int16_t>(i * 104729 % 10009 * (height - 1) / 10009), 0);
    }
    xcb_flush(c);
  }
  xcb_disconnect(c);
  return 0;
}
