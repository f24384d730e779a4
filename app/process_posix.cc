#include "app/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

volatile sig_atomic_t received = 0;
int input_fd = -1;
int at_end_fd = -1;  // a pipe's read end whose write end is closed

// Only async-signal-safe calls: dup2 swaps the input for the empty pipe in
// one step, wherever the agent is.
void on_stop_signal(int signal) {
  if (!received) received = signal;
  int saved_errno = errno;
  dup2(at_end_fd, input_fd);
  errno = saved_errno;
}

}  // namespace

// A stop signal swaps the input for an empty pipe, so the loop finds the
// input over; one this process was started ignoring (as under nohup) stays
// ignored. A display server that has gone makes writes to it fail, which the
// backend reports; SIGPIPE must not end the agent before it can let go.
void prepare_process(int input) {
  signal(SIGPIPE, SIG_IGN);
  int ends[2];
  if (pipe(ends) != 0) return;
  close(ends[1]);
  fcntl(ends[0], F_SETFD, FD_CLOEXEC);
  input_fd = input;
  at_end_fd = ends[0];
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  action.sa_flags = SA_RESTART;
  sigfillset(&action.sa_mask);
  for (int signal : kStopSignals) {
    struct sigaction previous {};
    if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
}

// Waits for input when the descriptor does not block (a controller may hand
// over its pipe that way). Any other error counts as end of input, so the
// agent still lets go of what it holds.
size_t read_input(int input, char* buffer, size_t size) {
  for (;;) {
    ssize_t count = read(input, buffer, size);
    if (count >= 0) return static_cast<size_t>(count);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd readable{input, POLLIN, 0};
      if (poll(&readable, 1, -1) < 0 && errno != EINTR) return 0;
    } else if (errno != EINTR) {
      return 0;
    }
  }
}

int stop_request() {
  return received;
}

void end_by(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  sigaddset(&unblocked, signal);
  sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
  raise(signal);
}
