// Running an executable as a controller runs the agent: a separate process
// with its standard streams on pipes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct Child {
  pid_t pid = -1;
  int input = -1;   // its standard input
  int output = -1;  // its standard output
  int errors = -1;  // its standard error
};

// Starts `path` with `args` and an environment of this process's variables,
// less those whose names start with one of `unset`, plus `variables`. Its
// standard input is a new pipe, or `input` when that is given (then
// `Child::input` stays -1).
Child start_child(const std::string& path, std::vector<std::string> args,
                  std::vector<std::string> variables, std::vector<std::string> unset = {},
                  int input = -1);

void send(const Child& child, std::string_view bytes);
void close_input(Child& child);

// The next line, line feed included, or what came before the end; waits at
// most 20 s.
std::string read_line(int fd);
std::string read_rest(int fd);

// The wait status (as waitpid gives it), or -1 when the child did not end
// within `patience` (it is then killed).
int wait_for_end(Child& child, std::chrono::milliseconds patience = std::chrono::seconds(20));

// Sends `bytes` again and again, on a thread of its own, until the child's
// input takes no more: it has ended. (SIGPIPE is ignored from then on.)
std::thread keep_sending(const Child& child, std::string bytes);

// The exit status, or -1 when the child did not exit within 20 s (it is
// killed) or died of a signal.
int wait_for_exit(Child& child);
bool still_running(const Child& child);

// Closes what is still open of the pipes.
void close_pipes(Child& child);

// How an agent ended once its display server was killed under it: its wait
// status (-1 when it did not end within the patience), and what it wrote on
// standard output after its status line and on standard error.
struct Ending {
  int status;
  std::string output;
  std::string errors;
};

// Has `agent`, which has said READY, take `hold`, kills `server` (SIGKILL)
// while the agent is idle, or while `stream` arrives again and again when it
// is not empty, and waits at most `patience` for the agent to end. Its pipes
// are closed afterwards.
Ending kill_server_under(Child& agent, pid_t server, const std::string& hold,
                         const std::string& stream, std::chrono::milliseconds patience);

// Whether wait status `status` is an exit with `code`.
bool exited_with(int status, int code);
