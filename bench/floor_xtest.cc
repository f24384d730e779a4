// The floor for posting on X: for each input line, one XTest event and a
// flush, which is what the platform itself charges per event.
//   floor_xtest motion|key < lines
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cstring>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  Display* display = XOpenDisplay(nullptr);
  if (!display || argc != 2) return 1;
  bool keys = strcmp(argv[1], "key") == 0;
  int screen = DefaultScreen(display);
  int width = DisplayWidth(display, screen), height = DisplayHeight(display, screen);
  KeyCode a = XKeysymToKeycode(display, XK_a);
  std::ios::sync_with_stdio(false);
  std::string line;
  for (long i = 0; std::getline(std::cin, line); ++i) {
    if (keys) {
      XTestFakeKeyEvent(display, a, i % 2 == 0, CurrentTime);
    } else {
      XTestFakeMotionEvent(display, screen, i * 7919 % 10007 * (width - 1) / 10007,
                           i * 104729 % 10009 * (height - 1) / 10009, CurrentTime);
    }
    XFlush(display);
  }
  XCloseDisplay(display);
  return 0;
}
