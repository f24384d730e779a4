// Running the agent in the test's own process, from its input bytes to its
// status line and exit status, on whichever platform the test links.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

struct AgentRun {
  int status;
  std::string output;
};

AgentRun run_in_process(std::string_view input, std::vector<const char*> args = {"input-agent"});

// All that `file` holds, read from its start.
std::string read_all(FILE* file);

// The commands, one line each.
std::string lines(std::initializer_list<std::string_view> commands);
