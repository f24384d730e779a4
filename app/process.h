// The process around the agent: reading its input, the stop requests that
// controllers and terminals send (on POSIX systems SIGTERM, SIGINT and
// SIGHUP; on Windows Ctrl-C, Ctrl-Break and closing the console), and the
// end of the session the agent posts into. The agent takes a stop request
// as the end of its input: it lets go of everything it holds as at end of
// file, then ends the way the request would have ended it, so whoever sent
// it sees it. process_posix.cc and process_windows.cc define these
// functions; the build compiles one.
#pragma once

#include <chrono>
#include <cstddef>

#include "platform/stop.h"

// However slow the system is to take the final releases, a stop request ends
// the process within this long.
constexpr std::chrono::milliseconds kStopBound{1000};

// Sets the process up before anything else: stop requests end the input
// `input` (a file descriptor), so every later read finds it over, and a read
// in progress too where the system can end it (on Windows the request's own
// thread lets go instead: let_go_on_stop); on Windows, standard input and
// output become binary.
void prepare_process(int input);

// Reads what is there of `input` into `buffer`, waiting for some; 0 at the
// end of input (end of file, a broken pipe, a read error, a stop request or
// the session's end).
size_t read_input(int input, char* buffer, size_t size);

// What lets go of everything the agent holds, where a stop request comes
// while the agent waits in a read that cannot be cancelled (Windows): the
// request's own thread calls it, then ends the process. Elsewhere a stop
// request ends the read, and the agent lets go itself.
void let_go_on_stop(void (*let_go)());

// Whether input, or its end, comes within `bound`: false when nothing has
// by then.
bool input_within(int input, std::chrono::milliseconds bound);

// Ends the process as `request` would have ended it.
void end_by(int request);

// Watches for the session to end for good while the agent waits for input
// or works: the system signals the agent when the display server's
// `connection` (a descriptor, or -1) closes, which ends the session with
// `connection_end` as what ended it; and a thread of its own runs
// `await_end`, which returns what else ended it, or nullptr when there is
// nothing else to watch or `quit` (a descriptor) has become readable. When
// the session ends, the input prepared by prepare_process ends as at a stop
// request.
void watch_session(int connection, const char* connection_end, const char* (*await_end)(int quit));

// Ends the watch, once the agent has stopped reading its input, and waits
// for its thread to end.
void stop_watching_session();

// What ended the session, as the watch found it; nullptr while it lasts.
const char* session_ended();
