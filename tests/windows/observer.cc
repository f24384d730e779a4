// A Windows program for the tests under Wine: a window over the primary
// monitor, holding the keyboard focus, with low-level keyboard and mouse
// hooks. Per-monitor DPI aware, as the agent is, it sees monitors and points
// in physical pixels. It prints, one line each on standard output, the
// monitors, then what arrives:
//
//   monitor \\.\DISPLAY1 0,0 1280x800 dpi=96 primary
//                                              (each monitor, as Windows lists
//                                              them, with its effective DPI)
//   ready                                      (hooks in place, window shown)
//   key down vk=a0 scan=2a ext=0 injected=1    (low-level keyboard hook)
//   char A                                     (WM_CHAR to the window)
//   char U+00E9                                (one beyond ASCII, or Return or
//                                               Tab; UTF-16 units)
//   move 640,400                               (low-level mouse hook, screen pixels)
//   button down left at 640,400
//   wheel -120                                 (positive away from the user)
//   hwheel 120                                 (positive right)
#include <windows.h>
// After windows.h, which it needs.
#include <shellscalingapi.h>

#include <cstdarg>
#include <cstdio>

namespace {

void say(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vprintf(format, arguments);
  va_end(arguments);
  printf("\n");
  fflush(stdout);
}

LRESULT CALLBACK on_key(int code, WPARAM message, LPARAM data) {
  if (code == HC_ACTION) {
    const auto* key = reinterpret_cast<const KBDLLHOOKSTRUCT*>(data);
    bool down = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
    say("key %s vk=%lx scan=%lx ext=%d injected=%d", down ? "down" : "up", key->vkCode,
        key->scanCode, (key->flags & LLKHF_EXTENDED) ? 1 : 0,
        (key->flags & LLKHF_INJECTED) ? 1 : 0);
  }
  return CallNextHookEx(nullptr, code, message, data);
}

LRESULT CALLBACK on_mouse(int code, WPARAM message, LPARAM data) {
  if (code == HC_ACTION) {
    const auto* mouse = reinterpret_cast<const MSLLHOOKSTRUCT*>(data);
    long x = mouse->pt.x, y = mouse->pt.y;
    switch (message) {
      case WM_MOUSEMOVE:
        say("move %ld,%ld", x, y);
        break;
      case WM_LBUTTONDOWN:
      case WM_LBUTTONUP:
      case WM_RBUTTONDOWN:
      case WM_RBUTTONUP:
      case WM_MBUTTONDOWN:
      case WM_MBUTTONUP: {
        bool down =
            message == WM_LBUTTONDOWN || message == WM_RBUTTONDOWN || message == WM_MBUTTONDOWN;
        const char* which = (message == WM_LBUTTONDOWN || message == WM_LBUTTONUP)   ? "left"
                            : (message == WM_RBUTTONDOWN || message == WM_RBUTTONUP) ? "right"
                                                                                     : "middle";
        say("button %s %s at %ld,%ld", down ? "down" : "up", which, x, y);
        break;
      }
      case WM_MOUSEWHEEL:
        say("wheel %d", static_cast<short>(HIWORD(mouse->mouseData)));
        break;
      case WM_MOUSEHWHEEL:
        say("hwheel %d", static_cast<short>(HIWORD(mouse->mouseData)));
        break;
    }
  }
  return CallNextHookEx(nullptr, code, message, data);
}

BOOL CALLBACK say_monitor(HMONITOR monitor, HDC, LPRECT, LPARAM) {
  MONITORINFOEXW info{};
  info.cbSize = sizeof info;
  GetMonitorInfoW(monitor, &info);
  UINT dpi = 0, dpi_y = 0;
  GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &dpi, &dpi_y);
  const RECT& r = info.rcMonitor;
  say("monitor %ls %ld,%ld %ldx%ld dpi=%u%s", info.szDevice, r.left, r.top, r.right - r.left,
      r.bottom - r.top, dpi, (info.dwFlags & MONITORINFOF_PRIMARY) ? " primary" : "");
  return TRUE;
}

LRESULT CALLBACK on_window(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_CHAR && w >= 0x20 && w < 0x7f) say("char %c", static_cast<char>(w));
  if (message == WM_CHAR && (w >= 0x80 || w == '\r' || w == '\t')) {
    say("char U+%04X", static_cast<unsigned>(w));
  }
  return DefWindowProcW(window, message, w, l);
}

}  // namespace

int main() {
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  EnumDisplayMonitors(nullptr, nullptr, say_monitor, 0);
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW kind{};
  kind.lpfnWndProc = on_window;
  kind.hInstance = instance;
  kind.lpszClassName = L"observer";
  kind.hCursor = LoadCursor(nullptr, IDC_ARROW);
  RegisterClassW(&kind);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor);
  const RECT& r = monitor.rcMonitor;
  HWND window =
      CreateWindowExW(WS_EX_TOPMOST, L"observer", L"observer", WS_POPUP | WS_VISIBLE, r.left, r.top,
                      r.right - r.left, r.bottom - r.top, nullptr, nullptr, instance, nullptr);
  SetForegroundWindow(window);
  SetFocus(window);
  SetWindowsHookExW(WH_KEYBOARD_LL, on_key, instance, 0);
  SetWindowsHookExW(WH_MOUSE_LL, on_mouse, instance, 0);
  say("ready");
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
