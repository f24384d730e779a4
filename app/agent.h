// The agent's whole run: start-up mode, status line and command loop.
#pragma once

#include <cstdio>

// Exit statuses: the end of input (and the self-test), no permission to post
// input, and the session the agent posts into ending under it (its display
// server gone, the person's permission withdrawn). A stop request ends the
// agent by that request instead.
constexpr int kEndOfInput = 0;
constexpr int kAccessibilityRequired = 1;
constexpr int kSessionEnded = 2;

// Runs the agent with process arguments `argv`, reading commands from the file
// descriptor `input` and writing its status line to `output`. Returns the
// exit status.
int run_agent(int argc, const char* const* argv, int input, FILE* output);
