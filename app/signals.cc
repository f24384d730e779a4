#include "app/signals.h"

#include <fcntl.h>
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

void end_input_on_stop_signals(int input) {
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

int stop_signal() {
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
