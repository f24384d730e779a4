// A platform that posts nothing: it answers the agent's questions from its
// configuration and writes every event it is given as one trace line, so the
// agent can be run and checked on any machine.
#include "platform/standin.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/platform.h"

namespace {

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

struct State {
  standin::Config config;
  platform::Point cursor;
  std::unique_ptr<FILE, FileCloser> trace;
  std::vector<std::string> record;
};

State make_state(const standin::Config& config) {
  State state{config, config.cursor, nullptr, {}};
  if (!config.trace_path.empty()) state.trace.reset(fopen(config.trace_path.c_str(), "a"));
  return state;
}

// Made before main, so no call pays for a first-use check.
State the_state = make_state(standin::config_from_environment());

State& state() {
  return the_state;
}

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

class Line {
 public:
  Line& word(std::string_view text) {
    put(text);
    return *this;
  }
  template <typename Number>
  Line& number(Number value) {
    put(" ");
    end_ = std::to_chars(end_, buffer_ + sizeof buffer_, value).ptr;
    return *this;
  }
  Line& mask(uint64_t value) {
    put(" 0x");
    end_ = std::to_chars(end_, buffer_ + sizeof buffer_, value, 16).ptr;
    return *this;
  }
  std::string_view text() const { return {buffer_, static_cast<size_t>(end_ - buffer_)}; }

 private:
  void put(std::string_view text) {
    memcpy(end_, text.data(), text.size());
    end_ += text.size();
  }
  char buffer_[160];
  char* end_ = buffer_;
};

// Whether anyone reads the trace; when no one does, events are not formatted.
bool tracing() {
  return state().trace || state().config.record;
}

void emit(const Line& line) {
  State& s = state();
  std::string_view text = line.text();
  if (s.trace) {
    fwrite(text.data(), 1, text.size(), s.trace.get());
    fputc('\n', s.trace.get());
  }
  if (s.config.record) s.record.emplace_back(text);
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
      if (kind == "cursor") config.fail_cursor = true;
    }
  }
  if (const char* trace = getenv("INPUT_AGENT_STANDIN_TRACE")) config.trace_path = trace;
  return config;
}

void configure(const Config& config) {
  state() = make_state(config);
}

const std::vector<std::string>& recorded() {
  return state().record;
}

platform::Point pointer() {
  return state().cursor;
}

}  // namespace standin

namespace platform {

bool trusted() {
  return state().config.trusted;
}

Bounds main_display() {
  return state().config.display;
}

std::optional<Point> cursor() {
  if (state().config.fail_cursor) return std::nullopt;
  return state().cursor;
}

void post_key(uint16_t code, bool down, uint64_t mask) {
  if (state().config.fail_key || !tracing()) return;
  emit(Line().word("key").number(code).word(down ? " down" : " up").mask(mask));
}

void post_mouse(uint32_t type, Point point, uint32_t button, uint64_t mask) {
  if (state().config.fail_mouse) return;
  state().cursor = point;
  if (!tracing()) return;
  emit(Line().word("mouse").number(type).number(point.x).number(point.y).number(button).mask(mask));
}

void post_wheel(int32_t pixels) {
  if (state().config.fail_wheel || !tracing()) return;
  emit(Line().word("wheel").number(pixels));
}

void flush() {
  if (state().trace) fflush(state().trace.get());
}

}  // namespace platform
