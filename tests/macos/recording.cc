#include "recording.h"

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

__CFNumber* as_number(CFTypeRef object) {
  for (__CFNumber& number : state().numbers) {
    if (&number == object) return &number;
  }
  return nullptr;
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
    return "mouse " + std::to_string(event.type) + " at " + shortest(event.location.x) + "," +
           shortest(event.location.y) + " button " + std::to_string(event.button) + " clicks " +
           std::to_string(event.click_state) + flags;
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
  return 69733382;
}

CGRect CGDisplayBounds(CGDirectDisplayID display) {
  if (display != CGMainDisplayID()) error("CGDisplayBounds of another display");
  return state().answers.main_display;
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
  if (field != kCGMouseEventClickState || event->kind != "mouse") {
    error("CGEventSetIntegerValueField of field " + std::to_string(field) + " on a " + event->kind +
          " event");
    return;
  }
  event->click_state = value;
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
}

void CFRelease(CFTypeRef object) {
  if (!object) return error("CFRelease(NULL)");
  if (__CGEvent* handle = as_event(object)) {
    if (state().events[handle->index].releases++ > 0) error("CFRelease of a released event");
  } else if (__CFNumber* number = as_number(object)) {
    if (number->releases++ > 0) error("CFRelease of a released number");
  } else {
    error("CFRelease of an object not handed out");
  }
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

const std::vector<std::string>& preference_domains() {
  return state().domains;
}

int unreleased() {
  int count = 0;
  for (const Event& event : state().events) count += event.releases == 0;
  for (const __CFNumber& number : state().numbers) count += number.releases == 0;
  return count;
}

}  // namespace recording
