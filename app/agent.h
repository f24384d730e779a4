// The agent's whole run: start-up mode, status line and command loop.
#pragma once

#include <cstdio>

// Runs the agent with process arguments `argv`, reading commands from the file
// descriptor `input` and writing its status line to `output`. Returns the
// exit status.
int run_agent(int argc, const char* const* argv, int input, FILE* output);
