// The Windows backend: SendInput, where input from real keyboards and mice
// enters the system. Keys go by scan code, at the same physical position as
// the Mac key, with the virtual key the layout gives that scan code (Wine
// delivers a scan code without one as nothing); Windows works the modifier
// state out from the keys held, so no flags are stamped. A command's inputs
// go out in one SendInput call.
//
// The display layout is read at start, the mouse's acceleration at the first
// relative motion, and each again after Windows announces a change
// (WM_DISPLAYCHANGE, WM_SETTINGCHANGE, to a hidden window on a thread of its
// own), not per command: each is a system call, and under Wine the layout's
// queries cost a round trip to the X server.
#include <windows.h>
// After windows.h, which it needs.
#include <shellscalingapi.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bitset>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "keymap/keys.h"
#include "platform/absolute.h"
#include "platform/displays.h"
#include "platform/motion.h"
#include "platform/platform.h"
#include "platform/verbose.h"
#include "platform/wheel.h"

namespace {

// The set-1 scan code of the key at each macOS virtual key code's position;
// 0xE0xx marks the extended keys.
struct KeyPosition {
  uint16_t code;
  uint16_t scan;
};

constexpr KeyPosition kKeyPositions[] = {
    {0, 0x1E},     {1, 0x1F},     {2, 0x20},     {3, 0x21},     {4, 0x23},     {5, 0x22},
    {6, 0x2C},     {7, 0x2D},     {8, 0x2E},     {9, 0x2F},     {11, 0x30},    {12, 0x10},
    {13, 0x11},    {14, 0x12},    {15, 0x13},    {16, 0x15},    {17, 0x14},    {18, 0x02},
    {19, 0x03},    {20, 0x04},    {21, 0x05},    {22, 0x07},    {23, 0x06},    {24, 0x0D},
    {25, 0x0A},    {26, 0x08},    {27, 0x0C},    {28, 0x09},    {29, 0x0B},    {30, 0x1B},
    {31, 0x18},    {32, 0x16},    {33, 0x1A},    {34, 0x17},    {35, 0x19},    {36, 0x1C},
    {37, 0x26},    {38, 0x24},    {39, 0x28},    {40, 0x25},    {41, 0x27},    {42, 0x2B},
    {43, 0x33},    {44, 0x35},    {45, 0x31},    {46, 0x32},    {47, 0x34},    {48, 0x0F},
    {49, 0x39},    {50, 0x29},    {51, 0x0E},    {53, 0x01},    {54, 0xE05C},  {55, 0xE05B},
    {56, 0x2A},    {57, 0x3A},    {58, 0x38},    {59, 0x1D},    {60, 0x36},    {61, 0xE038},
    {62, 0xE01D},  {96, 0x3F},    {97, 0x40},    {98, 0x41},    {99, 0x3D},    {100, 0x42},
    {101, 0x43},   {103, 0x57},   {109, 0x44},   {111, 0x58},   {114, 0xE052}, {115, 0xE047},
    {116, 0xE049}, {117, 0xE053}, {118, 0x3E},   {119, 0xE04F}, {120, 0x3C},   {121, 0xE051},
    {122, 0x3B},   {123, 0xE04B}, {124, 0xE04D}, {125, 0xE050}, {126, 0xE048},
};
static_assert(std::size(kKeyPositions) == std::tuple_size_v<decltype(keys)>);

constexpr std::array<uint16_t, kKeyCodeLimit> kScanCodes = [] {
  std::array<uint16_t, kKeyCodeLimit> scans{};
  for (const KeyPosition& position : kKeyPositions) scans[position.code] = position.scan;
  return scans;
}();

struct Layout {
  platform::Bounds main_display{0, 0, 0, 0};  // the primary monitor
  platform::Bounds desktop{0, 0, 0, 0};       // the virtual desktop, all monitors
  std::vector<platform::Display> displays;    // in order, the primary first
};

platform::Bounds rectangle_of(const RECT& r) {
  return {static_cast<double>(r.left), static_cast<double>(r.top),
          static_cast<double>(r.right - r.left), static_cast<double>(r.bottom - r.top)};
}

std::string utf8(const wchar_t* text) {
  int length = static_cast<int>(wcslen(text));
  int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string converted(size > 0 ? size : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, converted.data(), size, nullptr, nullptr);
  return converted;
}

// The monitor's scale as set in Settings (its effective DPI; the manifest
// makes it the monitor's own rather than the system's).
double scale_of(HMONITOR monitor) {
  UINT x = 0, y = 0;
  if (GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &x, &y) != S_OK || x == 0) return 1;
  return static_cast<double>(x) / USER_DEFAULT_SCREEN_DPI;
}

// Each monitor by its device name (\\.\DISPLAY1), in physical pixels.
BOOL CALLBACK add_monitor(HMONITOR monitor, HDC, LPRECT, LPARAM list) {
  MONITORINFOEXW info{};
  info.cbSize = sizeof info;
  if (GetMonitorInfoW(monitor, &info)) {
    reinterpret_cast<std::vector<platform::Display>*>(list)->push_back(
        {utf8(info.szDevice), rectangle_of(info.rcMonitor), scale_of(monitor),
         (info.dwFlags & MONITORINFOF_PRIMARY) != 0});
  }
  return TRUE;
}

Layout read_layout() {
  Layout layout;
  EnumDisplayMonitors(nullptr, nullptr, add_monitor, reinterpret_cast<LPARAM>(&layout.displays));
  layout.displays = platform::displays_in_order(std::move(layout.displays));
  if (!layout.displays.empty()) layout.main_display = layout.displays.front().bounds;
  layout.desktop = {static_cast<double>(GetSystemMetrics(SM_XVIRTUALSCREEN)),
                    static_cast<double>(GetSystemMetrics(SM_YVIRTUALSCREEN)),
                    static_cast<double>(GetSystemMetrics(SM_CXVIRTUALSCREEN)),
                    static_cast<double>(GetSystemMetrics(SM_CYVIRTUALSCREEN))};
  return layout;
}

std::atomic<bool> layout_changed = true;
std::atomic<bool> mouse_changed = true;

// A hidden top-level window (message-only ones get no broadcasts) whose
// thread notes each change of the display layout, and of the settings, the
// mouse's among them.
void watch_changes() {
  std::thread([] {
    WNDCLASSW kind{};
    kind.lpfnWndProc = [](HWND window, UINT message, WPARAM w, LPARAM l) -> LRESULT {
      if (message == WM_DISPLAYCHANGE) layout_changed = true;
      if (message == WM_SETTINGCHANGE) mouse_changed = true;
      return DefWindowProcW(window, message, w, l);
    };
    kind.hInstance = GetModuleHandleW(nullptr);
    kind.lpszClassName = L"input-agent changes";
    RegisterClassW(&kind);
    CreateWindowExW(0, kind.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                    kind.hInstance, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  }).detach();
}

// Alt or Win let go with no other key pressed since it went down opens the
// window's menu (SC_KEYMENU) or the Start menu. A tap of a virtual key that
// no layout assigns, between, is another key pressed: it types nothing and
// opens nothing.
constexpr WORD kNeutralKey = 0xE8;

bool opens_a_menu_alone(uint16_t scan) {
  return scan == 0x38 || scan == 0xE038 || scan == 0xE05B || scan == 0xE05C;
}

// Keys by their code, then the left, right and middle buttons: what is down.
constexpr size_t kButtonsFrom = kKeyCodeLimit;
using DownSet = std::bitset<kKeyCodeLimit + 3>;

struct Inputs {
  std::vector<INPUT> pending;  // this command's
  // What each pending input does to what is down: presses (+) or lets go
  // of (-) the key or button at index n - 1 of a DownSet; 0: neither.
  std::vector<int16_t> changes;
  DownSet held;  // as the agent sent it
  // As Windows took it. Windows refuses input while the workstation is
  // locked or the secure desktop is shown, and UIPI keeps it from a window
  // of higher integrity; a key let go meanwhile is still down there, and is
  // let go again once input goes through.
  DownSet windows_down;
  // Pressed while Windows refused input, and not since: letting go of them
  // would reach applications as a release from nowhere, so it is left out.
  DownSet never_taken;
  bool refused = false;              // the last SendInput inserted less than all
  uint16_t last_down_scan = 0;       // the scan code of the last key sent down
  WheelCarry wheel, wheel_sideways;  // in hundredths of a WHEEL_DELTA unit
  MotionCarry motion;
  LONG motion_step = 0;  // the longest unaccelerated relative step; 0: any
  Layout layout;
};

const Layout& layout();

Inputs& inputs() {
  static Inputs state = [] {
    Inputs made;
    made.pending.reserve(4 * std::size(kKeyPositions) + 8);
    made.changes.reserve(made.pending.capacity());
    return made;
  }();
  return state;
}

void add(const INPUT& input, int16_t change = 0) {
  inputs().pending.push_back(input);
  inputs().changes.push_back(change);
}

int16_t change_of(size_t index, bool down) {
  return static_cast<int16_t>(down ? index + 1 : -static_cast<int>(index + 1));
}

// Which button's index in a DownSet a button flag presses or lets go of.
int16_t button_change(DWORD flags) {
  if (flags & (MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_LEFTUP)) {
    return change_of(kButtonsFrom, flags & MOUSEEVENTF_LEFTDOWN);
  }
  if (flags & (MOUSEEVENTF_RIGHTDOWN | MOUSEEVENTF_RIGHTUP)) {
    return change_of(kButtonsFrom + 1, flags & MOUSEEVENTF_RIGHTDOWN);
  }
  if (flags & (MOUSEEVENTF_MIDDLEDOWN | MOUSEEVENTF_MIDDLEUP)) {
    return change_of(kButtonsFrom + 2, flags & MOUSEEVENTF_MIDDLEDOWN);
  }
  return 0;
}

INPUT mouse_input(DWORD flags, LONG x = 0, LONG y = 0, DWORD data = 0) {
  INPUT input{};
  input.type = INPUT_MOUSE;
  input.mi.dx = x;
  input.mi.dy = y;
  input.mi.mouseData = data;
  input.mi.dwFlags = flags;
  return input;
}

// Whether letting go of what `index` of a DownSet names is left out: Windows
// never took it down. Called for each release the agent sends.
bool never_taken(size_t index) {
  Inputs& state = inputs();
  state.held[index] = false;
  if (!state.never_taken[index]) return false;
  state.never_taken[index] = false;
  return true;
}

void add_mouse(DWORD flags, LONG x = 0, LONG y = 0, DWORD data = 0) {
  int16_t change = button_change(flags);
  if (change < 0 && never_taken(-change - 1)) return;
  if (change) inputs().held[std::abs(change) - 1] = change > 0;
  add(mouse_input(flags, x, y, data), change);
}

// The layout as last read, read again when Windows has announced a change.
const Layout& layout() {
  Inputs& state = inputs();
  if (layout_changed.exchange(false)) state.layout = read_layout();
  return state.layout;
}

// The longest step along an axis that the mouse's acceleration, as
// MOUSEINPUT documents it, leaves alone; 0 when it leaves every step alone
// (level 0), or none (a threshold of 0).
LONG unaccelerated_step() {
  int mouse[3] = {0, 0, 0};  // the two thresholds, the level
  if (!SystemParametersInfoW(SPI_GETMOUSE, 0, mouse, 0) || mouse[2] == 0) return 0;
  return std::max(mouse[2] == 1 ? mouse[0] : std::min(mouse[0], mouse[1]), 0);
}

DWORD button_flags(uint32_t type, uint32_t button) {
  using namespace platform;
  bool press = platform::is_press(type), release = platform::is_release(type);
  if (!press && !release) return 0;
  switch (button) {
    case kButtonRight:
      return press ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_RIGHTUP;
    case kButtonCenter:
      return press ? MOUSEEVENTF_MIDDLEDOWN : MOUSEEVENTF_MIDDLEUP;
    default:
      return press ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
  }
}

INPUT typed_input(WORD virtual_key, WORD unit, bool down) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = virtual_key;
  input.ki.wScan = unit;
  input.ki.dwFlags = (unit ? KEYEVENTF_UNICODE : 0) | (down ? 0 : KEYEVENTF_KEYUP);
  return input;
}

void add_typed(WORD virtual_key, WORD unit, bool down) {
  add(typed_input(virtual_key, unit, down));
}

void add_neutral_tap() {
  add_typed(kNeutralKey, 0, true);
  add_typed(kNeutralKey, 0, false);
  inputs().last_down_scan = 0;
}

INPUT key_input(uint16_t scan, bool down) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wScan = scan & 0xFF;
  input.ki.wVk = static_cast<WORD>(MapVirtualKeyW(scan, MAPVK_VSC_TO_VK_EX));
  input.ki.dwFlags =
      KEYEVENTF_SCANCODE | (scan > 0xFF ? KEYEVENTF_EXTENDEDKEY : 0) | (down ? 0 : KEYEVENTF_KEYUP);
  return input;
}

void add_key(uint16_t code, bool down) {
  uint16_t scan = code < kKeyCodeLimit ? kScanCodes[code] : 0;
  if (!scan) return;
  Inputs& state = inputs();
  if (!down && never_taken(code)) return;
  // Since a refusal, what Windows last took down is not known.
  if (!down && opens_a_menu_alone(scan) && (state.last_down_scan == scan || state.refused)) {
    add_neutral_tap();
  }
  if (down) state.last_down_scan = scan;
  state.held[code] = down;
  add(key_input(scan, down), change_of(code, down));
}

// The modifiers the agent holds, in `codes`; how many.
size_t held_modifiers(std::array<uint16_t, kKeyCodeLimit>& codes) {
  size_t count = 0;
  for (uint16_t code = 0; code < kKeyCodeLimit; ++code) {
    if (inputs().held[code] && is_modifier(code)) codes[count++] = code;
  }
  return count;
}

// Before the command's inputs, after Windows refused some: letting go of what
// Windows still has down and the agent no longer holds (a refused press, or
// anything else refused, is not sent again: it would be stale by now).
void add_owed_releases() {
  Inputs& state = inputs();
  DownSet owed = state.windows_down & ~state.held;
  // What this command lets go of itself goes once, in its place.
  for (int16_t change : state.changes) {
    if (change < 0) owed[-change - 1] = false;
  }
  if (owed.none()) return;
  std::vector<INPUT> releases;
  std::vector<int16_t> changes;
  for (uint16_t code = 0; code < kKeyCodeLimit; ++code) {
    if (!owed[code]) continue;
    if (opens_a_menu_alone(kScanCodes[code])) {
      releases.push_back(typed_input(kNeutralKey, 0, true));
      releases.push_back(typed_input(kNeutralKey, 0, false));
      changes.insert(changes.end(), 2, 0);
    }
    releases.push_back(key_input(kScanCodes[code], false));
    changes.push_back(change_of(code, false));
  }
  constexpr DWORD kButtonUps[] = {MOUSEEVENTF_LEFTUP, MOUSEEVENTF_RIGHTUP, MOUSEEVENTF_MIDDLEUP};
  for (size_t button = 0; button < 3; ++button) {
    if (!owed[kButtonsFrom + button]) continue;
    releases.push_back(mouse_input(kButtonUps[button]));
    changes.push_back(change_of(kButtonsFrom + button, false));
  }
  state.pending.insert(state.pending.begin(), releases.begin(), releases.end());
  state.changes.insert(state.changes.begin(), changes.begin(), changes.end());
}

// What Windows took: the first `sent` inputs. Windows refuses a SendInput
// whole; were it to take part of one, a tap or a typed unit cut in two
// would not be owed (they carry no change).
void note_taken(size_t sent) {
  Inputs& state = inputs();
  for (size_t i = 0; i < sent; ++i) {
    if (int16_t change = state.changes[i]) {
      state.windows_down[std::abs(change) - 1] = change > 0;
      if (change > 0) state.never_taken[change - 1] = false;
    }
  }
  for (size_t i = sent; i < state.changes.size(); ++i) {
    int16_t change = state.changes[i];
    if (change > 0 && !state.windows_down[change - 1]) state.never_taken[change - 1] = true;
  }
}

}  // namespace

namespace platform {

// The process runs in the interactive window station, the one input reaches
// (a service's never does). A locked workstation or the secure desktop is
// not a reason to refuse: it passes, input is dropped meanwhile (flush()),
// and what comes after the person unlocks goes through.
bool trusted() {
  USEROBJECTFLAGS station{};
  if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &station, sizeof station,
                                 nullptr) ||
      !(station.dwFlags & WSF_VISIBLE)) {
    return false;
  }
  watch_changes();
  return true;
}

Bounds main_display() {
  return layout().main_display;
}

std::vector<Display> displays() {
  return layout().displays;
}

// From the layout as last read, as main_display()'s bounds are.
std::optional<Bounds> display_named(std::string_view id) {
  return bounds_of(layout().displays, id);
}

std::optional<Point> cursor() {
  POINT at;
  if (!GetCursorPos(&at)) return std::nullopt;
  return Point{static_cast<double>(at.x), static_cast<double>(at.y)};
}

// Windows applications count clicks from event times themselves.
std::chrono::milliseconds double_click_interval() {
  return std::chrono::milliseconds(500);
}

// A key-down for a key already down is how Windows itself shows a repeat:
// applications see the repeat flag, and Caps Lock does not toggle again.
void post_key(uint16_t code, bool down, bool, uint64_t) {
  add_key(code, down);
}

// A character goes as its UTF-16 units, each pressed and released on its own
// (KEYEVENTF_UNICODE: applications get it as typed, whatever the layout), so
// a character typed twice is two presses and a surrogate pair two units.
// Return and Tab are their keys, which applications read as keys.
static void post_character(char32_t character) {
  if (character == U'\n' || character == U'\t') {
    WORD key = character == U'\n' ? VK_RETURN : VK_TAB;
    add_typed(key, 0, true);
    add_typed(key, 0, false);
    return;
  }
  WORD units[2] = {static_cast<WORD>(character), 0};
  if (character >= 0x10000) {
    units[0] = static_cast<WORD>(0xD800 + ((character - 0x10000) >> 10));
    units[1] = static_cast<WORD>(0xDC00 + ((character - 0x10000) & 0x3FF));
  }
  for (WORD unit : units) {
    if (!unit) break;
    add_typed(0, unit, true);
    add_typed(0, unit, false);
  }
}

// Held modifiers are let go around the text and pressed again after it:
// they do not change what text types (Return under Control would be
// Ctrl+Enter, Tab under Shift a move backwards, a character under Alt a
// WM_SYSCHAR).
void post_text(const char32_t* characters, size_t count) {
  std::array<uint16_t, kKeyCodeLimit> modifiers;
  size_t held = held_modifiers(modifiers);
  // A modifier let go alone may mean something of its own: Alt the menu
  // bar, Shift an input method's mode, Alt+Shift the next layout.
  if (held > 0) add_neutral_tap();
  for (size_t i = 0; i < held; ++i) add_key(modifiers[i], false);
  for (size_t i = 0; i < count; ++i) post_character(characters[i]);
  for (size_t i = 0; i < held; ++i) add_key(modifiers[i], true);
}

// Absolute over the virtual desktop (all monitors), each point on its exact
// pixel; a button after its move, at the command's point.
void post_mouse(uint32_t type, Point point, uint32_t button, uint64_t, int64_t) {
  const Bounds& desktop = layout().desktop;
  add_mouse(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK,
            absolute_value(point.x, desktop.x, desktop.width),
            absolute_value(point.y, desktop.y, desktop.height));
  if (DWORD flags = button_flags(type, button)) add_mouse(flags);
}

// Relative SendInput motion is a mouse's: raw input (WM_INPUT, which games
// and pointer lock read) gets the counts as sent, past the screen's edges,
// and the cursor moves by them as Windows moves it: clamped, after the
// mouse's acceleration and pointer speed. MOUSEINPUT documents the
// acceleration: along an axis, a step longer than SPI_GETMOUSE's first
// threshold is doubled at level 1 or 2, one longer than the second doubled
// again at level 2. So a motion goes as even steps no longer than that, which
// it leaves alone (Wine doubles raw input's too, and then delivers it
// exactly), or as one step at level 0. Not reached: "Enhance pointer
// precision" (level 1) is a curve of the pointer's speed since Windows XP,
// and a pointer speed (SPI_GETMOUSESPEED) other than 10 scales the cursor's
// motion; making up for either would change what raw input gets.
void post_motion(uint32_t, double dx, double dy, uint32_t, uint64_t, int64_t) {
  Inputs& state = inputs();
  LONG x = take_whole_pixels(state.motion.x, dx), y = take_whole_pixels(state.motion.y, dy);
  if (mouse_changed.exchange(false)) state.motion_step = unaccelerated_step();
  LONG longer = std::max(std::abs(x), std::abs(y)), step = state.motion_step;
  LONG steps = step > 0 ? (longer + step - 1) / step : std::min<LONG>(longer, 1);
  for (LONG i = 1; i <= steps; ++i) {
    add_mouse(MOUSEEVENTF_MOVE, x * i / steps - x * (i - 1) / steps,
              y * i / steps - y * (i - 1) / steps);
  }
}

// A step is WHEEL_DELTA units, and Windows takes fractions of a step: each
// pixel is WHEEL_DELTA hundredths of a unit, and only what is below one unit
// carries over. Positive pixels scroll up, as WHEEL_DELTA counts, and left,
// which the horizontal wheel counts negative. Windows has an event for each
// axis; both go in the command's one SendInput.
void post_wheel(int32_t vertical, int32_t horizontal) {
  auto up = take_wheel_steps(inputs().wheel, int64_t{vertical} * WHEEL_DELTA);
  if (up != 0) add_mouse(MOUSEEVENTF_WHEEL, 0, 0, static_cast<DWORD>(up));
  auto right = -take_wheel_steps(inputs().wheel_sideways, int64_t{horizontal} * WHEEL_DELTA);
  if (right != 0) add_mouse(MOUSEEVENTF_HWHEEL, 0, 0, static_cast<DWORD>(right));
}

// The layout is kept up to date by the window that hears of its changes.
void on_input() {}

// Nothing of its own to finish when input stops.
std::optional<std::chrono::milliseconds> idle_bound() {
  return std::nullopt;
}

void on_idle() {}

// While the workstation is locked, or the secure desktop (a UAC prompt,
// Ctrl+Alt+Del) is shown, Windows takes input from no program, and UIPI
// keeps it from a window of higher integrity (an elevated program) in front:
// SendInput inserts nothing. That passes, so the agent drops what comes
// meanwhile and goes on; what Windows still has down that the agent has let
// go of meanwhile is let go first at each command until input goes through
// again. With INPUT_AGENT_VERBOSE=1 it says when input stops and starts going
// through.
bool flush() {
  Inputs& state = inputs();
  if (state.refused) add_owed_releases();
  std::vector<INPUT>& pending = state.pending;
  if (pending.empty()) return true;
  UINT sent = SendInput(static_cast<UINT>(pending.size()), pending.data(), sizeof(INPUT));
  note_taken(sent);
  bool now_refused = sent < pending.size();
  pending.clear();
  state.changes.clear();
  if (now_refused != state.refused && platform::verbose()) {
    fputs(now_refused ? "input-agent: Windows takes no input now (a locked workstation, the "
                        "secure desktop or an elevated window); dropping it\n"
                      : "input-agent: Windows takes input again\n",
          stderr);
  }
  state.refused = now_refused;
  return true;
}

// Nothing ends the agent's session but the end of the person's, which ends
// the agent too.
const char* session_end() {
  return "the desktop went away";
}

int session_connection() {
  return -1;
}

const char* await_session_end(int) {
  return nullptr;
}

// SendInput hands each input to the system at once.
void finish() {}

}  // namespace platform
