// Controls for the stand-in platform, used by tests that run the agent in the
// same process. The executable configures it from its environment instead.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace standin {

struct Config {
  bool trusted = true;
  platform::Bounds display{0, 0, 1920, 1080};
  platform::Point cursor{0, 0};
  bool fail_key = false;
  bool fail_mouse = false;
  bool fail_wheel = false;
  bool fail_cursor = false;
  std::string trace_path;  // append trace lines to this file when set
  bool record = false;     // keep trace lines in memory for `recorded`
};

// The configuration the executable uses, read from INPUT_AGENT_STANDIN_*.
Config config_from_environment();

// Replaces the stand-in's whole state: configuration, cursor and record.
void configure(const Config& config);

// Trace lines of the events posted since `configure`, when recording.
const std::vector<std::string>& recorded();

// The current pointer location.
platform::Point pointer();

}  // namespace standin
