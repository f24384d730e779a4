// The macOS backend: Quartz event services post every event at the HID tap,
// where events from real devices enter the system.
#include <ApplicationServices/ApplicationServices.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <string>

#include "platform/displays.h"
#include "platform/motion.h"
#include "platform/platform.h"

namespace {

// How often the trust is asked after while the agent runs, in milliseconds:
// the agent ends at most this long after the person takes it back.
constexpr int kTrustCheckInterval = 250;

// Owns one event and releases it on every path.
class Event {
 public:
  explicit Event(CGEventRef event) : event_(event) {}
  ~Event() {
    if (event_) CFRelease(event_);
  }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  explicit operator bool() const { return event_ != nullptr; }
  CGEventRef get() const { return event_; }

 private:
  CGEventRef event_;
};

void post_flagged(const Event& event, uint64_t mask) {
  if (!event) return;
  CGEventSetFlags(event.get(), static_cast<CGEventFlags>(mask));
  CGEventPost(kCGHIDEventTap, event.get());
}

// Far more displays than a Mac drives; the list is read into an array this
// long, so reading it allocates nothing.
constexpr uint32_t kMostDisplays = 32;

struct ActiveList {
  std::array<CGDirectDisplayID, kMostDisplays> displays{};
  uint32_t count = 0;

  bool operator==(const ActiveList& other) const {
    return std::equal(displays.begin(), displays.begin() + count, other.displays.begin(),
                      other.displays.begin() + other.count);
  }
};

ActiveList active_displays() {
  ActiveList list;
  if (CGGetActiveDisplayList(kMostDisplays, list.displays.data(), &list.count) != kCGErrorSuccess) {
    list.count = 0;
  }
  return list;
}

platform::Bounds rectangle_of(CGDirectDisplayID display) {
  CGRect bounds = CGDisplayBounds(display);
  return {CGRectGetMinX(bounds), CGRectGetMinY(bounds), CGRectGetWidth(bounds),
          CGRectGetHeight(bounds)};
}

// A display's UUID, which stays the same across reconnections and restarts
// where its CGDirectDisplayID may change; its number where the system makes
// no UUID for it.
std::string name_of(CGDirectDisplayID display) {
  char text[64] = "";
  if (CFUUIDRef uuid = CGDisplayCreateUUIDFromDisplayID(display)) {
    if (CFStringRef made = CFUUIDCreateString(nullptr, uuid)) {
      if (!CFStringGetCString(made, text, sizeof text, kCFStringEncodingUTF8)) text[0] = 0;
      CFRelease(made);
    }
    CFRelease(uuid);
  }
  return text[0] ? std::string(text) : std::to_string(display);
}

// Pixels of the framebuffer per point: 2 on a Retina display, also in its
// scaled modes, whose framebuffer the system draws at twice the mode's size.
double scale_of(CGDirectDisplayID display) {
  CGDisplayModeRef mode = CGDisplayCopyDisplayMode(display);
  size_t points = CGDisplayModeGetWidth(mode), pixels = CGDisplayModeGetPixelWidth(mode);
  CGDisplayModeRelease(mode);  // which takes NULL, unlike CFRelease
  return points && pixels ? static_cast<double>(pixels) / static_cast<double>(points) : 1;
}

// The names of the active displays, made again only when the list changes:
// a command naming a display then costs one look at the list and no
// allocation. (A reconfiguration callback would reach only a process that
// runs an event loop, which the agent does not.)
struct Names {
  ActiveList active;
  std::vector<std::pair<std::string, CGDirectDisplayID>> displays;
};

const Names& names() {
  static Names known;
  ActiveList active = active_displays();
  if (active == known.active) return known;
  known.active = active;
  known.displays.clear();
  for (uint32_t i = 0; i < active.count; ++i) {
    known.displays.emplace_back(name_of(active.displays[i]), active.displays[i]);
  }
  return known;
}

// The display that holds `point`, if any.
std::optional<CGDirectDisplayID> display_at(CGPoint point) {
  CGDirectDisplayID display = 0;
  uint32_t count = 0;
  if (CGGetDisplaysWithPoint(point, 1, &display, &count) != kCGErrorSuccess || count == 0) {
    return std::nullopt;
  }
  return display;
}

// Where a mouse moving the cursor from `from` to `to` leaves it. macOS keeps
// the cursor on the displays: past an edge where another display lies it
// goes on there; elsewhere it stops at the edge of the display it was on
// (the main one, should none hold it), on its last point, as the agent's
// fraction 1 addresses a display's last.
CGPoint where_a_mouse_goes(CGPoint from, CGPoint to) {
  if (display_at(to)) return to;
  platform::Bounds on = rectangle_of(display_at(from).value_or(CGMainDisplayID()));
  return CGPointMake(std::max(on.x, std::min(to.x, on.x + on.width - 1)),
                     std::max(on.y, std::min(to.y, on.y + on.height - 1)));
}

MotionCarry motion_carry;

}  // namespace

namespace platform {

bool trusted() {
  return AXIsProcessTrusted();
}

Bounds main_display() {
  return rectangle_of(CGMainDisplayID());
}

// In the global display space, in points: the main display at 0,0, those
// left of or above it at negative coordinates.
std::vector<Display> displays() {
  ActiveList active = active_displays();
  CGDirectDisplayID main = CGMainDisplayID();
  std::vector<Display> list;
  for (uint32_t i = 0; i < active.count; ++i) {
    CGDirectDisplayID display = active.displays[i];
    list.push_back({name_of(display), rectangle_of(display), scale_of(display), display == main});
  }
  return displays_in_order(std::move(list));
}

// The bounds are asked for afresh, as the main display's are.
std::optional<Bounds> display_named(std::string_view id) {
  for (const auto& [name, display] : names().displays) {
    if (name == id) return rectangle_of(display);
  }
  return std::nullopt;
}

std::optional<Point> cursor() {
  Event event(CGEventCreate(nullptr));
  if (!event) return std::nullopt;
  CGPoint location = CGEventGetLocation(event.get());
  return Point{location.x, location.y};
}

// The person's setting (System Settings → Mouse, "Double-click speed"), in
// seconds, read once; macOS's own default where it was never changed. It
// lives in the global domain, which the "App" search of the current
// application covers (CFPreferences.h: never kCFPreferencesAnyApplication).
std::chrono::milliseconds double_click_interval() {
  static const std::chrono::milliseconds interval = [] {
    double seconds = 0.5;
    CFPropertyListRef value = CFPreferencesCopyAppValue(
        CFSTR("com.apple.mouse.doubleClickThreshold"), kCFPreferencesCurrentApplication);
    if (value) {
      if (CFGetTypeID(value) == CFNumberGetTypeID()) {
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberDoubleType, &seconds);
      }
      CFRelease(value);
    }
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  }();
  return interval;
}

// A repeat is another key-down, as a held key's are. The flags are the held
// modifiers' and Caps Lock's lock as the Mac's keyboard has it, which a
// letter's case follows; a `CapsLock` posted here is a key event, and
// whether it changes that lock is macOS's to decide (its documentation
// promises nothing for posted events).
void post_key(uint16_t code, bool down, bool, uint64_t mask) {
  CGEventFlags lock =
      CGEventSourceFlagsState(kCGEventSourceStateHIDSystemState) & kCGEventFlagMaskAlphaShift;
  post_flagged(Event(CGEventCreateKeyboardEvent(nullptr, static_cast<CGKeyCode>(code), down)),
               mask | lock);
}

// Applications read double and triple clicks from the event's click state.
void post_mouse(uint32_t type, Point point, uint32_t button, uint64_t mask, int64_t clicks) {
  Event event(CGEventCreateMouseEvent(nullptr, static_cast<CGEventType>(type),
                                      CGPointMake(point.x, point.y),
                                      static_cast<CGMouseButton>(button)));
  if (event) CGEventSetIntegerValueField(event.get(), kCGMouseEventClickState, clicks);
  post_flagged(event, mask);
}

// A mouse event at the cursor's new place that carries the motion in its
// delta fields, whole and unclamped: applications that detach the cursor
// from the mouse (CGAssociateMouseAndMouseCursorPosition(false), as games
// and pointer lock do) get events whose location stays put, and read the
// deltas; the others follow the location. The fields take whole points, so
// the fractions carry over. Flags, button and click state go as on
// post_mouse's moves and drags.
void post_motion(uint32_t type, double dx, double dy, uint32_t button, uint64_t mask,
                 int64_t clicks) {
  int32_t x = take_whole_pixels(motion_carry.x, dx), y = take_whole_pixels(motion_carry.y, dy);
  if (x == 0 && y == 0) return;
  std::optional<Point> from = cursor();
  if (!from) return;
  CGPoint at =
      where_a_mouse_goes(CGPointMake(from->x, from->y), CGPointMake(from->x + x, from->y + y));
  Event event(CGEventCreateMouseEvent(nullptr, static_cast<CGEventType>(type), at,
                                      static_cast<CGMouseButton>(button)));
  if (event) {
    CGEventSetIntegerValueField(event.get(), kCGMouseEventClickState, clicks);
    CGEventSetIntegerValueField(event.get(), kCGMouseEventDeltaX, x);
    CGEventSetIntegerValueField(event.get(), kCGMouseEventDeltaY, y);
  }
  post_flagged(event, mask);
}

// Wheel 2 is the horizontal axis; with both, one event scrolls both ways.
void post_wheel(int32_t vertical, int32_t horizontal) {
  Event event(CGEventCreateScrollWheelEvent2(nullptr, kCGScrollEventUnitPixel, horizontal ? 2 : 1,
                                             vertical, horizontal, 0));
  if (event) CGEventPost(kCGHIDEventTap, event.get());
}

// A character goes as the Unicode string of a key down and up (one or two
// UTF-16 units; the string may hold up to 20) with no flags, so the
// modifiers held do not change it. Applications that ignore the string and
// read the key instead see virtual key 0x42, which no keyboard has; Return
// and Tab are their own keys.
constexpr CGKeyCode kNoKey = 0x42, kReturnKey = 0x24, kTabKey = 0x30;

static void post_character(char32_t character) {
  UniChar units[2];
  UniCharCount count = 1;
  if (character >= 0x10000) {
    units[0] = static_cast<UniChar>(0xD800 + ((character - 0x10000) >> 10));
    units[1] = static_cast<UniChar>(0xDC00 + ((character - 0x10000) & 0x3FF));
    count = 2;
  } else {
    units[0] = static_cast<UniChar>(character == U'\n' ? U'\r' : character);
  }
  CGKeyCode key = character == U'\n' ? kReturnKey : character == U'\t' ? kTabKey : kNoKey;
  for (bool down : {true, false}) {
    Event event(CGEventCreateKeyboardEvent(nullptr, key, down));
    if (!event) continue;
    CGEventKeyboardSetUnicodeString(event.get(), count, units);
    CGEventSetFlags(event.get(), 0);
    CGEventPost(kCGHIDEventTap, event.get());
  }
}

void post_text(const char32_t* characters, size_t count) {
  for (size_t i = 0; i < count; ++i) post_character(characters[i]);
}

// The display's bounds are asked for afresh at each command.
void on_input() {}

// Nothing of its own to finish when input stops.
std::optional<std::chrono::milliseconds> idle_bound() {
  return std::nullopt;
}

void on_idle() {}

// Posting hands each event to the system at once.
bool flush() {
  return true;
}

const char* session_end() {
  return "Accessibility access was taken back";
}

int session_connection() {
  return -1;
}

// The window server drops the events of a process no longer trusted without
// a word, so the trust is asked after again and again, a few times a second.
const char* await_session_end(int quit) {
  pollfd quitting{quit, POLLIN, 0};
  while (AXIsProcessTrusted()) {
    if (poll(&quitting, 1, kTrustCheckInterval) > 0) return nullptr;
  }
  return session_end();
}

void finish() {}

}  // namespace platform
