// Whether the controller asked the agent to say on standard error what it
// does (INPUT_AGENT_VERBOSE=1): the backend it chose, and why it ended.
#pragma once

#include <cstdlib>
#include <cstring>

namespace platform {

inline bool verbose() {
  const char* value = getenv("INPUT_AGENT_VERBOSE");
  return value && strcmp(value, "1") == 0;
}

}  // namespace platform
