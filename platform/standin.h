// Controls for the stand-in platform, used by tests that run the agent in the
// same process. The executable configures it from its environment instead.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace standin {

struct Config {
  bool trusted = true;
  platform::Bounds display{0, 0, 1920, 1080};  // the main display, "main"
  std::vector<platform::Display> other_displays;
  platform::Point cursor{0, 0};
  bool fail_key = false;
  bool fail_mouse = false;
  bool fail_wheel = false;
  bool fail_character = false;
  bool fail_cursor = false;
  std::chrono::milliseconds double_click{500};
  // The session ends after this many commands (flushes) when set, as a
  // display server that goes away ends it.
  std::optional<size_t> session_commands;
  std::string trace_path;  // append trace lines to this file when set
  bool record = false;     // keep the events posted, for `events` and `recorded`
};

// One posted event, as the agent described it.
struct Event {
  enum Kind { kKey, kMouse, kMotion, kWheel, kCharacter } kind;
  uint16_t code = 0;            // key
  bool down = false;            // key
  uint32_t type = 0;            // mouse
  platform::Point point{0, 0};  // mouse; motion: the deltas
  uint32_t button = 0;          // mouse and motion
  uint64_t mask = 0;            // key and mouse
  int64_t clicks = 0;           // mouse
  int32_t wheel = 0;            // up
  int32_t wheel_sideways = 0;   // left
  char32_t character = 0;
};

// Every event the stand-in created and every one it let go of, since
// `configure`; a platform that leaked events would show a difference.
struct Counts {
  size_t created = 0;
  size_t released = 0;
};

// The configuration the executable uses, read from INPUT_AGENT_STANDIN_*.
Config config_from_environment();

// Replaces the stand-in's whole state: configuration, cursor, counts, record.
void configure(const Config& config);

// The events posted since `configure`, when recording, and their trace lines.
const std::vector<Event>& events();
std::vector<std::string> recorded();

Counts counts();

}  // namespace standin
