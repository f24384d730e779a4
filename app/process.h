// The process around the agent: reading its input, and the stop requests
// that controllers and terminals send (on POSIX systems SIGTERM, SIGINT and
// SIGHUP; on Windows Ctrl-C, Ctrl-Break and closing the console). The agent
// takes a stop request as the end of its input: it lets go of everything it
// holds as at end of file, then ends the way the request would have ended
// it, so whoever sent it sees it. process_posix.cc and process_windows.cc
// define these functions; the build compiles one.
#pragma once

#include <cstddef>

// Sets the process up before anything else: stop requests end the input
// `input` (a file descriptor), so a read in progress and every later one find
// it over; on Windows, standard input and output become binary.
void prepare_process(int input);

// Reads what is there of `input` into `buffer`, waiting for some; 0 at the
// end of input (end of file, a broken pipe, a read error or a stop request).
size_t read_input(int input, char* buffer, size_t size);

// The stop request that ended the input, or 0.
int stop_request();

// Ends the process as `request` would have ended it.
void end_by(int request);
