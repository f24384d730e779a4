// A Windows program for the tests under Wine: a window over the primary
// monitor, holding the keyboard focus, with low-level keyboard and mouse
// hooks, registered for the mouse's raw input (WM_INPUT, as games read it).
// Per-monitor DPI aware, as the agent is, it sees monitors and points in
// physical pixels. It prints, one line each on standard output, the
// monitors and the mouse settings, then what arrives:
//
//   monitor \\.\DISPLAY1 0,0 1280x800 dpi=96 primary
//                                              (each monitor, as Windows lists
//                                              them, with its effective DPI)
//   mouse speed=10 thresholds=6,10 acceleration=1
//                                              (SPI_GETMOUSESPEED, SPI_GETMOUSE)
//   ready                                      (hooks in place, window shown)
//   key down vk=a0 scan=2a ext=0 injected=1    (low-level keyboard hook)
//   char A                                     (WM_CHAR to the window)
//   char U+00E9                                (one beyond ASCII, or a control
//                                               character; UTF-16 units)
//   syschar U+0009                             (WM_SYSCHAR: a character under Alt)
//   keymenu U+0000                             (WM_SYSCOMMAND SC_KEYMENU: the menu
//                                               bar opened, by Alt let go alone
//                                               (0) or for Alt and a character)
//   move 640,400                               (low-level mouse hook, screen pixels)
//   move 640,400 (not injected)                (one Wine makes of the X server's
//                                               pointer entering the window)
//   button down left at 640,400
//   wheel -120                                 (positive away from the user)
//   hwheel 120                                 (positive right)
//   window move 640,400 with left,shift        (WM_MOUSEMOVE, which Windows may
//                                               coalesce, in client pixels (the
//                                               window is at 0,0), with the
//                                               buttons and keys it says are down)
//   window wheel 120                           (WM_MOUSEWHEEL)
//   raw 30,-20                                 (WM_INPUT: relative motion)
//   raw absolute 32768,0                       (WM_INPUT: absolute motion)
//   raw wheel 120, cursor at 640,400           (WM_INPUT: the wheel, and
//                                               GetCursorPos as it is read)
//
// It takes commands on standard input, one a line, and answers each:
//
//   mouse 6 10 1      sets the thresholds and acceleration (SPI_SETMOUSE, saved
//                     and announced); answers "mouse thresholds=6,10 acceleration=1"
//   clip 640 400      confines the cursor to that pixel (ClipCursor), as a
//                     game locks it; answers "clipped"
//   unclip            lets it go (ClipCursor(NULL)); answers "unclipped"
#include <windows.h>
// After windows.h, which it needs.
#include <shellscalingapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

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
        say("move %ld,%ld%s", x, y, (mouse->flags & LLMHF_INJECTED) ? "" : " (not injected)");
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

// Raw input's motion, and its wheel with the cursor where all input before
// it has put it; a button's own events are left out.
void say_raw(HRAWINPUT handle) {
  RAWINPUT input;
  UINT size = sizeof input;
  if (GetRawInputData(handle, RID_INPUT, &input, &size, sizeof input.header) == UINT(-1) ||
      input.header.dwType != RIM_TYPEMOUSE) {
    return;
  }
  const RAWMOUSE& mouse = input.data.mouse;
  if (mouse.usButtonFlags & RI_MOUSE_WHEEL) {
    POINT at{0, 0};
    GetCursorPos(&at);
    say("raw wheel %d, cursor at %ld,%ld", static_cast<short>(mouse.usButtonData), at.x, at.y);
  } else if (mouse.usButtonFlags == 0) {
    say("raw %s%ld,%ld", (mouse.usFlags & MOUSE_MOVE_ABSOLUTE) ? "absolute " : "", mouse.lLastX,
        mouse.lLastY);
  }
}

void say_window_move(WPARAM keys, LPARAM at) {
  char held[64] = "";
  for (auto [key, name] : {std::pair{MK_LBUTTON, "left"},
                           {MK_RBUTTON, "right"},
                           {MK_MBUTTON, "middle"},
                           {MK_SHIFT, "shift"},
                           {MK_CONTROL, "control"}}) {
    if (keys & key) snprintf(held + strlen(held), sizeof held - strlen(held), ",%s", name);
  }
  say("window move %d,%d%s%s", static_cast<short>(LOWORD(at)), static_cast<short>(HIWORD(at)),
      held[0] ? " with " : "", held + (held[0] ? 1 : 0));
}

// A command from standard input, run on the window's thread.
void run(const char* command) {
  int first = 0, second = 0, third = 0;
  if (sscanf(command, "mouse %d %d %d", &first, &second, &third) == 3) {
    int mouse[3] = {first, second, third};
    SystemParametersInfoW(SPI_SETMOUSE, 0, mouse, SPIF_UPDATEINIFILE | SPIF_SENDCHANGE);
    SystemParametersInfoW(SPI_GETMOUSE, 0, mouse, 0);
    say("mouse thresholds=%d,%d acceleration=%d", mouse[0], mouse[1], mouse[2]);
  } else if (sscanf(command, "clip %d %d", &first, &second) == 2) {
    RECT pixel{first, second, first + 1, second + 1};
    ClipCursor(&pixel);
    say("clipped");
  } else if (strncmp(command, "unclip", 6) == 0) {
    ClipCursor(nullptr);
    say("unclipped");
  }
}

constexpr UINT kCommand = WM_APP, kTakeFocus = WM_APP + 1;

LRESULT CALLBACK on_window(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_INPUT) say_raw(reinterpret_cast<HRAWINPUT>(l));
  if (message == WM_MOUSEMOVE) say_window_move(w, l);
  if (message == WM_MOUSEWHEEL) say("window wheel %d", GET_WHEEL_DELTA_WPARAM(w));
  if (message == kCommand) run(reinterpret_cast<const char*>(l));
  // Clicks where the window is not (the second monitor) make Wine's desktop
  // the active window, and Wine may deactivate this one again late, after a
  // click has activated it: it takes the focus back each time.
  if (message == WM_ACTIVATE && LOWORD(w) == WA_INACTIVE) PostMessageW(window, kTakeFocus, 0, 0);
  if (message == kTakeFocus) {
    SetForegroundWindow(window);
    SetFocus(window);
  }
  if (message == WM_CHAR && w >= 0x20 && w < 0x7f) say("char %c", static_cast<char>(w));
  if (message == WM_CHAR && (w >= 0x80 || w < 0x20)) say("char U+%04X", static_cast<unsigned>(w));
  if (message == WM_SYSCHAR) say("syschar U+%04X", static_cast<unsigned>(w));
  // Reported, not followed: the menu loop would take the keys that come next.
  if (message == WM_SYSCOMMAND && (w & 0xFFF0) == SC_KEYMENU) {
    say("keymenu U+%04X", static_cast<unsigned>(l));
    return 0;
  }
  return DefWindowProcW(window, message, w, l);
}

DWORD WINAPI read_commands(void* window) {
  char line[256];
  while (fgets(line, sizeof line, stdin)) {
    SendMessageW(static_cast<HWND>(window), kCommand, 0, reinterpret_cast<LPARAM>(line));
  }
  return 0;
}

}  // namespace

int main() {
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  EnumDisplayMonitors(nullptr, nullptr, say_monitor, 0);
  int speed = 0, mouse[3] = {0, 0, 0};
  SystemParametersInfoW(SPI_GETMOUSESPEED, 0, &speed, 0);
  SystemParametersInfoW(SPI_GETMOUSE, 0, mouse, 0);
  say("mouse speed=%d thresholds=%d,%d acceleration=%d", speed, mouse[0], mouse[1], mouse[2]);
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
  // Sent here even while the window is not in the foreground.
  RAWINPUTDEVICE mice{0x01, 0x02, RIDEV_INPUTSINK, window};
  RegisterRawInputDevices(&mice, 1, sizeof mice);
  CreateThread(nullptr, 0, read_commands, window, 0, nullptr);
  say("ready");
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
