#include "recording.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <set>

struct __CGEvent {
  size_t index;
};
struct __CFNumber {
  double value;
  int releases;
};
struct __CFString {
  std::string text;
  int releases = 0;  // of one CFUUIDCreateString made; constant ones stay
};
struct __CFUUID {
  std::string text;
  int releases;
};
struct CGDisplayMode {
  size_t width;
  size_t pixel_width;
  int releases;
};

const CFStringRef kCFPreferencesAnyApplication =
    recorded_constant_string("kCFPreferencesAnyApplication");
const CFStringRef kCFPreferencesCurrentApplication =
    recorded_constant_string("kCFPreferencesCurrentApplication");

namespace {

constexpr CFTypeID kEventTypeID = 1;
constexpr CFTypeID kNumberTypeID = 22;

struct State {
  recording::Answers answers;
  std::deque<__CGEvent> handles;  // one per event; their addresses are the events
  std::vector<recording::Event> events;
  std::deque<__CFNumber> numbers;
  std::deque<__CFUUID> uuids;
  std::deque<__CFString> strings;
  std::deque<CGDisplayMode> modes;
  std::vector<std::string> posted;
  std::vector<std::string> errors;
  std::vector<std::string> domains;
};

State& state() {
  static State the_state;
  return the_state;
}

void error(std::string what) {
  state().errors.push_back(std::move(what));
}

bool failing(const std::string& kind) {
  for (const std::string& failing : state().answers.failing) {
    if (failing == kind) return true;
  }
  return false;
}

CGEventRef create(recording::Event event) {
  State& s = state();
  if (failing(event.kind)) return nullptr;
  s.handles.push_back({s.events.size()});
  s.events.push_back(std::move(event));
  return &s.handles.back();
}

// The event behind `ref`, or nothing (and an error) when it is gone.
recording::Event* live(CGEventRef ref, const char* call) {
  if (!ref) return nullptr;
  recording::Event& event = state().events[ref->index];
  if (event.releases > 0) {
    error(std::string(call) + " on a released event");
    return nullptr;
  }
  return &event;
}

__CGEvent* as_event(CFTypeRef object) {
  for (__CGEvent& handle : state().handles) {
    if (&handle == object) return &handle;
  }
  return nullptr;
}

// The object of `made` that `object` is, if any.
template <typename Made>
Made* among(std::deque<Made>& made, CFTypeRef object) {
  for (Made& one : made) {
    if (&one == object) return &one;
  }
  return nullptr;
}

__CFNumber* as_number(CFTypeRef object) {
  return among(state().numbers, object);
}

// The display connected now with that number, or nothing (and an error).
const recording::Display* connected(CGDirectDisplayID number, const char* call) {
  for (const recording::Display& display : state().answers.displays) {
    if (display.number == number) return &display;
  }
  error(std::string(call) + " of display " + std::to_string(number) + ", not connected");
  return nullptr;
}

// The mode behind `mode`: nothing for NULL, which the SDK allows, or (and
// an error) for a mode released.
CGDisplayMode* live_mode(CGDisplayModeRef mode, const char* call) {
  if (mode && mode->releases > 0) error(std::string(call) + " of a released mode");
  return mode && mode->releases == 0 ? mode : nullptr;
}

std::string shortest(double value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string hex(uint64_t value) {
  char text[32];
  return "0x" + std::string(text, std::to_chars(text, text + sizeof text, value, 16).ptr);
}

std::string line_of(const recording::Event& event) {
  std::string flags = " flags=" + hex(event.flags);
  if (event.kind == "keyboard") {
    std::string text;
    for (char16_t unit : event.text) {
      char hex_unit[16];
      snprintf(hex_unit, sizeof hex_unit, "%s%04X", text.empty() ? " text=U+" : ",U+", unit);
      text += hex_unit;
    }
    return "key " + std::to_string(event.key) + (event.key_down ? " down" : " up") + text + flags;
  }
  if (event.kind == "mouse") {
    auto field = [](std::optional<int64_t> value) {
      return value ? std::to_string(*value) : std::string("unset");
    };
    std::string delta = event.delta_x || event.delta_y
                            ? " delta " + field(event.delta_x) + "," + field(event.delta_y)
                            : "";
    return "mouse " + std::to_string(event.type) + " at " + shortest(event.location.x) + "," +
           shortest(event.location.y) + delta + " button " + std::to_string(event.button) +
           " clicks " + std::to_string(event.click_state) + flags;
  }
  if (event.kind == "scroll") {
    return std::string("scroll ") + (event.units == kCGScrollEventUnitPixel ? "pixel " : "line ") +
           std::to_string(event.wheel_count) + " wheels " + std::to_string(event.wheels[0]) + "," +
           std::to_string(event.wheels[1]) + "," + std::to_string(event.wheels[2]) + flags;
  }
  return event.kind;
}

// A mouse event's button number is the one given only for the other-button
// types; the others carry their own.
uint32_t own_button(CGEventType type, CGMouseButton given) {
  switch (type) {
    case kCGEventOtherMouseDown:
    case kCGEventOtherMouseUp:
    case kCGEventOtherMouseDragged:
      return given;
    case kCGEventRightMouseDown:
    case kCGEventRightMouseUp:
    case kCGEventRightMouseDragged:
      return kCGMouseButtonRight;
    default:
      return kCGMouseButtonLeft;
  }
}

}  // namespace

CFStringRef recorded_constant_string(const char* text) {
  static std::map<std::string, std::unique_ptr<__CFString>>& strings =
      *new std::map<std::string, std::unique_ptr<__CFString>>;
  auto& found = strings[text];
  if (!found) found.reset(new __CFString{text});
  return found.get();
}

// Asked from the agent's watching thread too, while the test takes the
// trust back from its own.
namespace {
std::atomic<int> trust_asked_count = 0;
std::atomic<bool> trust_taken_back = false;
}  // namespace

Boolean AXIsProcessTrusted(void) {
  ++trust_asked_count;
  return state().answers.trusted && !trust_taken_back;
}

CGDirectDisplayID CGMainDisplayID(void) {
  return state().answers.displays.front().number;
}

// CGRectZero for a display that is not connected.
CGRect CGDisplayBounds(CGDirectDisplayID number) {
  const recording::Display* display = connected(number, "CGDisplayBounds");
  return display ? display->bounds : CGRect{{0, 0}, {0, 0}};
}

// Without a list, the count alone.
CGError CGGetActiveDisplayList(uint32_t most, CGDirectDisplayID* displays, uint32_t* count) {
  const std::vector<recording::Display>& connected = state().answers.displays;
  uint32_t listed = static_cast<uint32_t>(connected.size());
  if (displays) listed = std::min(listed, most);
  for (uint32_t i = 0; displays && i < listed; ++i) displays[i] = connected[i].number;
  if (count) *count = listed;
  return kCGErrorSuccess;
}

// The displays whose bounds hold the point, as CGRectContainsPoint has it:
// their minimum edges in, their maximum edges out. With a list, at most
// `most` of them, and the count of those.
CGError CGGetDisplaysWithPoint(CGPoint point, uint32_t most, CGDirectDisplayID* displays,
                               uint32_t* count) {
  uint32_t found = 0;
  for (const recording::Display& display : state().answers.displays) {
    const CGRect& r = display.bounds;
    if (point.x < r.origin.x || point.x >= r.origin.x + r.size.width || point.y < r.origin.y ||
        point.y >= r.origin.y + r.size.height) {
      continue;
    }
    if (displays && found == most) break;
    if (displays) displays[found] = display.number;
    ++found;
  }
  if (count) *count = found;
  return kCGErrorSuccess;
}

CGDisplayModeRef CGDisplayCopyDisplayMode(CGDirectDisplayID number) {
  const recording::Display* display = connected(number, "CGDisplayCopyDisplayMode");
  if (!display || failing("mode")) return nullptr;
  State& s = state();
  s.modes.push_back({static_cast<size_t>(display->bounds.size.width), display->pixel_width, 0});
  return &s.modes.back();
}

size_t CGDisplayModeGetWidth(CGDisplayModeRef mode) {
  CGDisplayMode* live = live_mode(mode, "CGDisplayModeGetWidth");
  return live ? live->width : 0;
}

size_t CGDisplayModeGetPixelWidth(CGDisplayModeRef mode) {
  CGDisplayMode* live = live_mode(mode, "CGDisplayModeGetPixelWidth");
  return live ? live->pixel_width : 0;
}

// CFRelease, but NULL is no error.
void CGDisplayModeRelease(CGDisplayModeRef mode) {
  if (mode) CFRelease(mode);
}

CFUUIDRef CGDisplayCreateUUIDFromDisplayID(uint32_t number) {
  const recording::Display* display = connected(number, "CGDisplayCreateUUIDFromDisplayID");
  if (!display || failing("uuid")) return nullptr;
  State& s = state();
  s.uuids.push_back({display->uuid, 0});
  return &s.uuids.back();
}

CFStringRef CFUUIDCreateString(CFAllocatorRef, CFUUIDRef uuid) {
  State& s = state();
  __CFUUID* made = among(s.uuids, uuid);
  if (!made || made->releases > 0) {
    error("CFUUIDCreateString of no live UUID");
    return nullptr;
  }
  s.strings.push_back({made->text});
  return &s.strings.back();
}

// Fails where the text and its terminating NUL do not fit, as CoreFoundation
// does.
Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex size,
                           CFStringEncoding encoding) {
  __CFString* made = among(state().strings, string);
  if (!made || made->releases > 0 || encoding != kCFStringEncodingUTF8) {
    error("CFStringGetCString of no live string, or not as UTF-8");
    return false;
  }
  if (static_cast<CFIndex>(made->text.size()) >= size) return false;
  made->text.copy(buffer, made->text.size());
  buffer[made->text.size()] = 0;
  return true;
}

CGFloat CGRectGetMinX(CGRect rect) {
  return rect.size.width < 0 ? rect.origin.x + rect.size.width : rect.origin.x;
}

CGFloat CGRectGetMinY(CGRect rect) {
  return rect.size.height < 0 ? rect.origin.y + rect.size.height : rect.origin.y;
}

CGFloat CGRectGetWidth(CGRect rect) {
  return rect.size.width < 0 ? -rect.size.width : rect.size.width;
}

CGFloat CGRectGetHeight(CGRect rect) {
  return rect.size.height < 0 ? -rect.size.height : rect.size.height;
}

CGPoint CGPointMake(CGFloat x, CGFloat y) {
  return CGPoint{x, y};
}

CGEventRef CGEventCreate(CGEventSourceRef) {
  recording::Event event;
  event.kind = "null";
  event.location = state().answers.cursor;
  return create(event);
}

CGPoint CGEventGetLocation(CGEventRef ref) {
  recording::Event* event = live(ref, "CGEventGetLocation");
  return event ? event->location : CGPoint{0, 0};
}

CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef, CGKeyCode key, bool down) {
  recording::Event event;
  event.kind = "keyboard";
  event.key = key;
  event.key_down = down;
  return create(event);
}

CGEventRef CGEventCreateMouseEvent(CGEventSourceRef, CGEventType type, CGPoint location,
                                   CGMouseButton button) {
  recording::Event event;
  event.kind = "mouse";
  event.type = type;
  event.location = location;
  event.button = own_button(type, button);
  return create(event);
}

CGEventRef CGEventCreateScrollWheelEvent2(CGEventSourceRef, CGScrollEventUnit units,
                                          uint32_t wheel_count, int32_t wheel1, int32_t wheel2,
                                          int32_t wheel3) {
  if (wheel_count < 1 || wheel_count > 3) {
    error("CGEventCreateScrollWheelEvent2 with " + std::to_string(wheel_count) + " wheels");
    return nullptr;
  }
  recording::Event event;
  event.kind = "scroll";
  event.units = units;
  event.wheel_count = wheel_count;
  event.wheels[0] = wheel1;
  event.wheels[1] = wheel_count > 1 ? wheel2 : 0;
  event.wheels[2] = wheel_count > 2 ? wheel3 : 0;
  return create(event);
}

void CGEventSetIntegerValueField(CGEventRef ref, CGEventField field, int64_t value) {
  recording::Event* event = live(ref, "CGEventSetIntegerValueField");
  if (!event) return;
  bool known = field == kCGMouseEventClickState || field == kCGMouseEventDeltaX ||
               field == kCGMouseEventDeltaY;
  if (!known || event->kind != "mouse") {
    error("CGEventSetIntegerValueField of field " + std::to_string(field) + " on a " + event->kind +
          " event");
    return;
  }
  if (field == kCGMouseEventClickState) event->click_state = value;
  if (field == kCGMouseEventDeltaX) event->delta_x = value;
  if (field == kCGMouseEventDeltaY) event->delta_y = value;
}

CGEventFlags CGEventSourceFlagsState(CGEventSourceStateID id) {
  if (id != kCGEventSourceStateHIDSystemState) {
    error("CGEventSourceFlagsState of state " + std::to_string(id));
  }
  return state().answers.caps_lock ? kCGEventFlagMaskAlphaShift : 0;
}

void CGEventSetFlags(CGEventRef ref, CGEventFlags flags) {
  if (recording::Event* event = live(ref, "CGEventSetFlags")) event->flags = flags;
}

// Apple's documentation: the string may be at most 20 units long; the event
// keeps a copy.
void CGEventKeyboardSetUnicodeString(CGEventRef ref, UniCharCount length, const UniChar* units) {
  recording::Event* event = live(ref, "CGEventKeyboardSetUnicodeString");
  if (!event) return;
  if (event->kind != "keyboard") error("CGEventKeyboardSetUnicodeString on a " + event->kind);
  if (length > 20)
    error("CGEventKeyboardSetUnicodeString with " + std::to_string(length) + " units");
  event->text.assign(units, units + length);
}

void CGEventPost(CGEventTapLocation tap, CGEventRef ref) {
  recording::Event* event = live(ref, "CGEventPost");
  if (!event) return;
  event->posts.push_back(tap);
  if (tap != kCGHIDEventTap) error("CGEventPost at tap " + std::to_string(tap));
  state().posted.push_back(line_of(*event));
  recording::Answers& answers = state().answers;
  if (event->kind == "mouse" && answers.cursor_follows) answers.cursor = event->location;
}

void CFRelease(CFTypeRef object) {
  if (!object) return error("CFRelease(NULL)");
  State& s = state();
  int* releases = nullptr;
  if (__CGEvent* handle = as_event(object)) {
    releases = &s.events[handle->index].releases;
  } else if (__CFNumber* number = as_number(object)) {
    releases = &number->releases;
  } else if (__CFUUID* uuid = among(s.uuids, object)) {
    releases = &uuid->releases;
  } else if (__CFString* string = among(s.strings, object)) {
    releases = &string->releases;
  } else if (CGDisplayMode* mode = among(s.modes, object)) {
    releases = &mode->releases;
  }
  if (!releases) return error("CFRelease of an object not handed out");
  if ((*releases)++ > 0) error("CFRelease of a released object");
}

CFTypeID CFGetTypeID(CFTypeRef object) {
  if (as_event(object)) return kEventTypeID;
  if (as_number(object)) return kNumberTypeID;
  error("CFGetTypeID of an object not handed out");
  return 0;
}

CFTypeID CFNumberGetTypeID(void) {
  return kNumberTypeID;
}

Boolean CFNumberGetValue(CFNumberRef ref, CFNumberType type, void* value) {
  __CFNumber* number = as_number(ref);
  if (!number || number->releases > 0 || type != kCFNumberDoubleType) {
    error("CFNumberGetValue of no live number, or not as a double");
    return false;
  }
  *static_cast<double*>(value) = number->value;
  return true;
}

// The "App" search covers the application's own domain, then the global
// one, where the mouse settings live.
CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef application) {
  State& s = state();
  if (application == kCFPreferencesAnyApplication) {
    s.domains.push_back("any");
    error("CFPreferencesCopyAppValue with kCFPreferencesAnyApplication");
    return nullptr;
  }
  s.domains.push_back(application == kCFPreferencesCurrentApplication ? "current" : "other");
  if (key != CFSTR("com.apple.mouse.doubleClickThreshold") || !s.answers.double_click) {
    return nullptr;
  }
  s.numbers.push_back({*s.answers.double_click, 0});
  return &s.numbers.back();
}

namespace recording {

void reset(const Answers& answers) {
  state() = State{};
  state().answers = answers;
  trust_asked_count = 0;
  trust_taken_back = false;
}

void connect(const std::vector<Display>& displays) {
  state().answers.displays = displays;
}

void take_trust_back() {
  trust_taken_back = true;
}

const std::vector<Event>& events() {
  return state().events;
}

std::vector<std::string> posted() {
  return state().posted;
}

const std::vector<std::string>& errors() {
  return state().errors;
}

int trust_asked() {
  return trust_asked_count;
}

int uuids_made() {
  return static_cast<int>(state().uuids.size());
}

const std::vector<std::string>& preference_domains() {
  return state().domains;
}

int unreleased() {
  int count = 0;
  for (const Event& event : state().events) count += event.releases == 0;
  for (const __CFNumber& number : state().numbers) count += number.releases == 0;
  for (const __CFUUID& uuid : state().uuids) count += uuid.releases == 0;
  for (const __CFString& string : state().strings) count += string.releases == 0;
  for (const CGDisplayMode& mode : state().modes) count += mode.releases == 0;
  return count;
}

}  // namespace recording
