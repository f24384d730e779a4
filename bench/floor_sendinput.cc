// The floor for posting on Windows: for each input line, one absolute move
// through SendInput, which is what the system itself charges per event.
//   floor_sendinput < lines
#include <windows.h>

#include <iostream>
#include <string>

int main() {
  std::ios::sync_with_stdio(false);
  std::string line;
  for (long i = 0; std::getline(std::cin, line); ++i) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = i * 7919 % 10007 * 65535 / 10007;
    input.mi.dy = i * 104729 % 10009 * 65535 / 10009;
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
    SendInput(1, &input, sizeof input);
  }
  return 0;
}
