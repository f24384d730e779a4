// Stop signals (SIGTERM, SIGINT, SIGHUP) are how controllers and terminals
// usually end a process. The agent takes one as the end of its input: it lets
// go of everything it holds as at end of file, then ends by that same signal,
// so whoever sent it sees it.
#pragma once

// Makes a stop signal turn the file descriptor `input` into one at end of
// file, so a read in progress and every later one find the input over. A stop
// signal this process was started ignoring stays ignored.
void end_input_on_stop_signals(int input);

// The stop signal that ended the input, or 0.
int stop_signal();

// Ends the process by `signal`, with its default action.
void end_by(int signal);
