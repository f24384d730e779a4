// Whether the agent is being stopped, for the platform's waits on a system
// and its long work (a text), which then end within bounds. The process
// around the agent keeps this state: app/process_posix.cc and
// app/process_windows.cc define these functions, the build compiles one
// (app/process.h declares the rest of the process).
#pragma once

// The stop request that ended the input, or 0.
int stop_request();

// Whether the agent is ending, by a stop request or the session's end: work
// in progress (a long text) stops where it is.
bool ending();
