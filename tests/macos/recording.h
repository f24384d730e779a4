// What the recording CoreGraphics saw, and the answers it gives: the tests'
// side of ApplicationServices/ApplicationServices.h.
//
// It follows Apple's documented behaviour where the backend relies on it: a
// mouse event's button number counts only for the kCGEventOther* types
// (the others' is their own button's); a new event carries flags of its own
// (kCGEventFlagMaskNonCoalesced), which only CGEventSetFlags replaces;
// CFRelease of NULL, or of an object released already, is an error, as is
// any call on an event that is gone, or CFPreferencesCopyAppValue with
// kCFPreferencesAnyApplication (CFPreferences.h: "should never be called
// with kCFPreferencesAnyApplication"). Errors are recorded, not fatal.
#pragma once

#include <ApplicationServices/ApplicationServices.h>

#include <optional>
#include <string>
#include <vector>

namespace recording {

// One display connected, as CoreGraphics describes it.
struct Display {
  CGDirectDisplayID number;
  CGRect bounds;       // in points, in the global display space
  size_t pixel_width;  // of its mode, whose width in points is the bounds'
  const char* uuid;
};

// A Retina main display, and one of 1 pixel a point left of and above it.
const Display kMainDisplay{
    69733382, {{0, 0}, {1920, 1080}}, 3840, "37D8832A-2D66-02CA-B9F7-8F30A301B230"};
const Display kSecondDisplay{
    724183362, {{-1280, -200}, {1280, 1024}}, 1280, "E5C9C1C4-4A2E-4B34-8D13-0D6C7F1B2A11"};

struct Answers {
  bool trusted = true;
  // Caps Lock locked on the Mac's keyboard (the HID system's flags).
  bool caps_lock = false;
  // As CGGetActiveDisplayList lists them: the main display first.
  std::vector<Display> displays{kMainDisplay, kSecondDisplay};
  CGPoint cursor{0, 0};
  // Whether the cursor goes where each mouse event posted puts it, as the
  // window server moves it; otherwise it stays where the person's mouse is.
  bool cursor_follows = false;
  // com.apple.mouse.doubleClickThreshold in the global domain, in seconds.
  std::optional<double> double_click;
  // Kinds whose creation returns NULL: "keyboard", "mouse", "scroll", "null"
  // (events), "mode" (CGDisplayCopyDisplayMode), "uuid"
  // (CGDisplayCreateUUIDFromDisplayID).
  std::vector<std::string> failing;
};

// One event the backend created, as it stands now.
struct Event {
  std::string kind;  // "keyboard", "mouse", "scroll" or "null" (CGEventCreate)
  uint16_t key = 0;
  bool key_down = false;
  uint32_t type = 0;  // mouse
  CGPoint location{0, 0};
  uint32_t button = 0;  // the event's own, by Apple's rule above
  int64_t click_state = 0;
  std::optional<int64_t> delta_x, delta_y;  // kCGMouseEventDeltaX, Y, once set
  uint32_t units = 0, wheel_count = 0;      // scroll
  int32_t wheels[3] = {0, 0, 0};
  std::u16string text;  // keyboard, the Unicode string set
  uint64_t flags = kCGEventFlagMaskNonCoalesced;
  std::vector<CGEventTapLocation> posts;
  int releases = 0;
};

// Forgets everything and answers with `answers` from now on.
void reset(const Answers& answers);

// The displays are reconfigured: these are connected from now on.
void connect(const std::vector<Display>& displays);

// The person takes the process's Accessibility trust back: AXIsProcessTrusted
// answers false from now on, on any thread, until the next reset.
void take_trust_back();

// Every event created since the reset, in order.
const std::vector<Event>& events();

// The events posted, in order, one line each: "key 0 down flags=0x20000",
// "key 66 down text=U+00E9 flags=0x0" (with a Unicode string),
// "mouse 6 at 959.5,539.5 button 0 clicks 1 flags=0x0", "mouse 5 at 990,520
// delta 30,-20 button 0 clicks 0 flags=0x0" (with a delta field set; one not
// set shows as "unset"), "scroll pixel 1 wheels -100,0,0 flags=0x100".
std::vector<std::string> posted();

// Misuses of the API, one line each, such as "CFRelease(NULL)".
const std::vector<std::string>& errors();

// How often AXIsProcessTrusted was asked, and which application IDs
// CFPreferencesCopyAppValue was given ("current", "any" or another).
int trust_asked();
const std::vector<std::string>& preference_domains();

// How many UUIDs CGDisplayCreateUUIDFromDisplayID has made.
int uuids_made();

// Objects the backend was handed (events, numbers, UUIDs, strings, display
// modes) and has not released.
int unreleased();

}  // namespace recording
