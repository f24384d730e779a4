// A platform that posts nothing: it answers the agent's questions from its
// configuration and writes every event it is given as one trace line, so the
// agent can be run and checked on any machine.
#include "platform/standin.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/displays.h"
#include "platform/platform.h"

namespace {

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

struct State {
  standin::Config config;
  platform::Point cursor;
  std::unique_ptr<FILE, FileCloser> trace;
  std::vector<standin::Event> record;
  standin::Counts counts;
  size_t flushes = 0;
};

State make_state(const standin::Config& config) {
  State state{config, config.cursor, nullptr, {}, {}, 0};
  if (!config.trace_path.empty()) state.trace.reset(fopen(config.trace_path.c_str(), "a"));
  return state;
}

// Made before main, so no call pays for a first-use check.
State the_state = make_state(standin::config_from_environment());

// Parses exactly `count` comma-separated decimal numbers; false on anything else.
bool parse_numbers(const char* text, double* out, int count) {
  for (int i = 0; i < count; ++i) {
    char* end = nullptr;
    out[i] = strtod(text, &end);
    if (end == text) return false;
    char expected = i + 1 < count ? ',' : '\0';
    if (*end != expected) return false;
    text = end + 1;
  }
  return true;
}

// One trace line, formatted without allocating.
class Line {
 public:
  explicit Line(const standin::Event& event) {
    switch (event.kind) {
      case standin::Event::kKey:
        put("key").number(event.code).put(event.down ? " down" : " up").hex(event.mask);
        break;
      case standin::Event::kMouse:
        put("mouse").number(event.type).number(event.point.x).number(event.point.y);
        number(event.button).hex(event.mask);
        if (platform::is_press(event.type) || platform::is_release(event.type)) {
          number(event.clicks);
        }
        break;
      case standin::Event::kMotion:
        put("motion").number(event.type).number(event.point.x).number(event.point.y);
        number(event.button).hex(event.mask);
        break;
      case standin::Event::kCharacter:
        put("text").hex(event.character);
        break;
      case standin::Event::kWheel:
        put("wheel").number(event.wheel);
        if (event.wheel_sideways != 0) number(event.wheel_sideways);
        break;
    }
  }
  std::string_view text() const { return {buffer_, static_cast<size_t>(end_ - buffer_)}; }

 private:
  Line& put(std::string_view text) {
    memcpy(end_, text.data(), text.size());
    end_ += text.size();
    return *this;
  }
  template <typename Integer>
  Line& number(Integer value) {
    put(" ");
    end_ = std::to_chars(end_, buffer_ + sizeof buffer_, value).ptr;
    return *this;
  }
  // The shortest form that reads back as the same double, as to_chars
  // writes it: the fewest significant digits that do, in fixed notation
  // unless scientific is shorter. (Written with printf: not every C++
  // library has to_chars for doubles.)
  Line& number(double value) {
    put(" ");
    char scientific[32];
    for (int digits = 1; digits <= 17; ++digits) {
      snprintf(scientific, sizeof scientific, "%.*e", digits - 1, value);
      if (strtod(scientific, nullptr) != value && digits < 17) continue;
      const char* e = strchr(scientific, 'e');
      if (!e) break;  // not a finite number
      int exponent = atoi(e + 1);
      int decimals = std::max(0, digits - 1 - exponent);
      size_t fixed_length = (value < 0) + std::max(exponent, 0) + 1 + (decimals ? decimals + 1 : 0);
      if (fixed_length > strlen(scientific)) break;
      end_ += snprintf(end_, buffer_ + sizeof buffer_ - end_, "%.*f", decimals, value);
      return *this;
    }
    return put(scientific);
  }
  Line& hex(uint64_t value) {
    put(" 0x");
    end_ = std::to_chars(end_, buffer_ + sizeof buffer_, value, 16).ptr;
    return *this;
  }
  char buffer_[160];
  char* end_ = buffer_;
};

// Creates, "posts" and releases one event, unless its kind is set to fail.
void post(const standin::Event& event, bool fail) {
  State& s = the_state;
  if (fail) return;
  ++s.counts.created;
  if (s.trace) {
    Line line(event);
    std::string_view text = line.text();
    fwrite(text.data(), 1, text.size(), s.trace.get());
    fputc('\n', s.trace.get());
  }
  if (s.config.record) s.record.push_back(event);
  ++s.counts.released;
}

// "ID:x,y,width,height,scale;ID:..." for the displays beside the main one;
// an entry that does not read so is left out.
std::vector<platform::Display> displays_from(std::string_view list) {
  std::vector<platform::Display> displays;
  while (!list.empty()) {
    std::string_view entry = list.substr(0, list.find(';'));
    list.remove_prefix(std::min(list.size(), entry.size() + 1));
    size_t colon = entry.find(':');
    if (colon == std::string_view::npos) continue;
    std::string numbers(entry.substr(colon + 1));
    double values[5];
    if (!parse_numbers(numbers.c_str(), values, 5)) continue;
    displays.push_back({std::string(entry.substr(0, colon)),
                        {values[0], values[1], values[2], values[3]},
                        values[4],
                        false});
  }
  return displays;
}

}  // namespace

namespace standin {

Config config_from_environment() {
  Config config;
  const char* trusted = getenv("INPUT_AGENT_STANDIN_TRUSTED");
  config.trusted = !(trusted && strcmp(trusted, "0") == 0);
  if (const char* display = getenv("INPUT_AGENT_STANDIN_DISPLAY")) {
    double values[4];
    if (parse_numbers(display, values, 4))
      config.display = {values[0], values[1], values[2], values[3]};
  }
  if (const char* displays = getenv("INPUT_AGENT_STANDIN_DISPLAYS")) {
    config.other_displays = displays_from(displays);
  }
  if (const char* cursor = getenv("INPUT_AGENT_STANDIN_CURSOR")) {
    double values[2];
    if (parse_numbers(cursor, values, 2)) config.cursor = {values[0], values[1]};
  }
  if (const char* fail = getenv("INPUT_AGENT_STANDIN_FAIL")) {
    std::string_view list = fail;
    while (!list.empty()) {
      std::string_view kind = list.substr(0, list.find(','));
      list.remove_prefix(std::min(list.size(), kind.size() + 1));
      if (kind == "key") config.fail_key = true;
      if (kind == "mouse") config.fail_mouse = true;
      if (kind == "wheel") config.fail_wheel = true;
      if (kind == "text") config.fail_character = true;
      if (kind == "cursor") config.fail_cursor = true;
    }
  }
  if (const char* interval = getenv("INPUT_AGENT_STANDIN_DOUBLE_CLICK_MS")) {
    double milliseconds;
    if (parse_numbers(interval, &milliseconds, 1) && milliseconds >= 0) {
      config.double_click = std::chrono::milliseconds(static_cast<long long>(milliseconds));
    }
  }
  if (const char* trace = getenv("INPUT_AGENT_STANDIN_TRACE")) config.trace_path = trace;
  if (const char* commands = getenv("INPUT_AGENT_STANDIN_SESSION_COMMANDS")) {
    double count;
    if (parse_numbers(commands, &count, 1) && count >= 0) {
      config.session_commands = static_cast<size_t>(count);
    }
  }
  return config;
}

void configure(const Config& config) {
  the_state = make_state(config);
}

const std::vector<Event>& events() {
  return the_state.record;
}

std::vector<std::string> recorded() {
  std::vector<std::string> lines;
  for (const Event& event : the_state.record) lines.emplace_back(Line(event).text());
  return lines;
}

Counts counts() {
  return the_state.counts;
}

}  // namespace standin

namespace platform {

bool trusted() {
  return the_state.config.trusted;
}

Bounds main_display() {
  return the_state.config.display;
}

std::vector<Display> displays() {
  std::vector<Display> list = the_state.config.other_displays;
  list.push_back({"main", the_state.config.display, 1, true});
  return displays_in_order(std::move(list));
}

std::optional<Bounds> display_named(std::string_view id) {
  if (id == "main") return the_state.config.display;
  return bounds_of(the_state.config.other_displays, id);
}

std::chrono::milliseconds double_click_interval() {
  return the_state.config.double_click;
}

// Reading the location takes an empty event, created and released here.
std::optional<Point> cursor() {
  if (the_state.config.fail_cursor) return std::nullopt;
  ++the_state.counts.created;
  ++the_state.counts.released;
  return the_state.cursor;
}

void post_key(uint16_t code, bool down, bool, uint64_t mask) {
  standin::Event event{standin::Event::kKey};
  event.code = code;
  event.down = down;
  event.mask = mask;
  post(event, the_state.config.fail_key);
}

// A posted pointer event moves the pointer to its point, as a real one does.
void post_mouse(uint32_t type, Point point, uint32_t button, uint64_t mask, int64_t clicks) {
  standin::Event event{standin::Event::kMouse};
  event.type = type;
  event.point = point;
  event.button = button;
  event.mask = mask;
  event.clicks = clicks;
  post(event, the_state.config.fail_mouse);
  if (!the_state.config.fail_mouse) the_state.cursor = point;
}

namespace {

bool on(const Bounds& display, Point point) {
  return point.x >= display.x && point.x <= display.x + display.width - 1 && point.y >= display.y &&
         point.y <= display.y + display.height - 1;
}

// Where relative motion takes the cursor: as a system keeps it on its
// displays, onto another display it reaches, or else to the edge of the one
// it was on.
Point moved_cursor(Point from, double dx, double dy) {
  Point to{from.x + dx, from.y + dy};
  Bounds was_on = the_state.config.display;
  for (const Display& display : displays()) {
    if (on(display.bounds, to)) return to;
    if (on(display.bounds, from)) was_on = display.bounds;
  }
  return {std::clamp(to.x, was_on.x, was_on.x + was_on.width - 1),
          std::clamp(to.y, was_on.y, was_on.y + was_on.height - 1)};
}

}  // namespace

void post_motion(uint32_t type, double dx, double dy, uint32_t button, uint64_t mask,
                 int64_t clicks) {
  standin::Event event{standin::Event::kMotion};
  event.type = type;
  event.point = {dx, dy};
  event.button = button;
  event.mask = mask;
  event.clicks = clicks;
  post(event, the_state.config.fail_mouse);
  if (!the_state.config.fail_mouse) the_state.cursor = moved_cursor(the_state.cursor, dx, dy);
}

void post_wheel(int32_t vertical, int32_t horizontal) {
  standin::Event event{standin::Event::kWheel};
  event.wheel = vertical;
  event.wheel_sideways = horizontal;
  post(event, the_state.config.fail_wheel);
}

// One event a character.
void post_text(const char32_t* characters, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    standin::Event event{standin::Event::kCharacter};
    event.character = characters[i];
    post(event, the_state.config.fail_character);
  }
}

void on_input() {}

// Nothing of its own to finish.
std::optional<std::chrono::milliseconds> idle_bound() {
  return std::nullopt;
}

void on_idle() {}

bool flush() {
  State& s = the_state;
  if (s.trace) fflush(s.trace.get());
  return !s.config.session_commands || ++s.flushes <= *s.config.session_commands;
}

const char* session_end() {
  return "the stand-in's session ended";
}

// Nothing to watch: the stand-in's session ends at a command.
int session_connection() {
  return -1;
}

const char* await_session_end(int) {
  return nullptr;
}

void finish() {}

}  // namespace platform
