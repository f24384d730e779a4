#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <thread>

#include "app/process.h"

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
// Wakes the main thread when the session ends; ignored by default, so that
// catching it changes nothing for whoever else might send it.
constexpr int kWakeSignal = SIGURG;

volatile sig_atomic_t received = 0;
int input_fd = -1;
int at_end_fd = -1;  // a pipe's read end whose write end is closed
pthread_t main_thread;
std::atomic<const char*> session_end = nullptr;
std::thread watcher;
int quit_ends[2] = {-1, -1};  // the watcher's: readable once it is to quit
// The display server's connection, and what its closing means.
int watched_connection = -1;
const char* connection_end = nullptr;
static_assert(std::atomic<const char*>::is_always_lock_free, "set in a signal handler");

// Only async-signal-safe calls: dup2 swaps the input for the empty pipe in
// one step, wherever the agent is.
void end_input() {
  int saved_errno = errno;
  dup2(at_end_fd, input_fd);
  errno = saved_errno;
}

void catch_signal(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = SA_RESTART;
  sigfillset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

void on_stop_bound(int) {
  end_by(received);
}

// The first stop request also arms the bound: should the system keep the
// agent from ending (a display server that reads nothing, with a full
// socket), the alarm ends it by the request anyway. SIGALRM is the agent's
// only from then on. setitimer is not on POSIX's list of async-signal-safe
// calls, but it is a plain system call on Linux and macOS.
void on_stop_signal(int signal) {
  if (!received) {
    received = signal;
    catch_signal(SIGALRM, on_stop_bound);
    itimerval bound{};
    bound.it_value.tv_sec = kStopBound.count() / 1000;
    bound.it_value.tv_usec = (kStopBound.count() % 1000) * 1000;
    setitimer(ITIMER_REAL, &bound, nullptr);
  }
  end_input();
}

// Whether `connection` has closed, without waiting. POLLRDHUP (Linux) says
// so for a peer that has only shut its side, as a TCP one does.
bool closed(int connection) {
  constexpr short kClosed = POLLHUP | POLLERR
#ifdef POLLRDHUP
                            | POLLRDHUP
#endif
      ;
  pollfd watched{connection, kClosed, 0};
  return poll(&watched, 1, 0) > 0 && (watched.revents & kClosed);
}

// Comes from the watching thread, or from the system when something
// happened on the connection (data, which the agent's own reads take in, or
// its end).
void on_wake(int) {
  int saved_errno = errno;
  if (!session_end.load() && watched_connection >= 0 && closed(watched_connection)) {
    session_end = connection_end;
  }
  errno = saved_errno;
  if (session_end.load()) end_input();
}

// Has the system signal the agent when something happens on `connection`,
// its end included (Linux; elsewhere the thread watches what there is).
void signal_on(int connection, bool on) {
#ifdef F_SETSIG
  if (on) {
    fcntl(connection, F_SETOWN, getpid());
    fcntl(connection, F_SETSIG, kWakeSignal);
  }
  int flags = fcntl(connection, F_GETFL);
  if (flags != -1) fcntl(connection, F_SETFL, on ? flags | O_ASYNC : flags & ~O_ASYNC);
#else
  (void)connection;
  (void)on;
#endif
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
  main_thread = pthread_self();
  // A parent's blocked signals outlive exec; those the agent catches, and
  // the bound's, must get through. A SIGALRM pending from before is
  // discarded (by ignoring it a moment) rather than let end the agent.
  sigset_t own;
  sigemptyset(&own);
  for (int signal : kStopSignals) {
    struct sigaction previous {};
    if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    catch_signal(signal, on_stop_signal);
    sigaddset(&own, signal);
  }
  catch_signal(kWakeSignal, on_wake);
  sigaddset(&own, kWakeSignal);
  signal(SIGALRM, SIG_IGN);
  signal(SIGALRM, SIG_DFL);
  sigaddset(&own, SIGALRM);
  sigprocmask(SIG_UNBLOCK, &own, nullptr);
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

// A signal ends a read in progress here: the agent lets go itself.
void let_go_on_stop(void (*)()) {}

// A signal that interrupts the wait (the display server's connection's, for
// ordinary news) leaves the rest of it, unless the agent is ending: the
// read that follows then tells what ended it.
bool input_within(int input, std::chrono::milliseconds bound) {
  auto deadline = std::chrono::steady_clock::now() + bound;
  pollfd readable{input, POLLIN, 0};
  for (;;) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    int ready = poll(&readable, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (ready >= 0) return ready > 0;
    if (errno != EINTR || ending()) return true;
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

// When the session ends, the wake signal interrupts the main thread's read,
// and the read, restarted, finds the empty pipe in the input's place. The
// watching thread blocks every signal, so that they all go to the main
// thread. Without a thread (the system would not make one) the agent goes
// on with the connection alone watched.
void watch_session(int connection, const char* end, const char* (*await_end)(int quit)) {
  if (at_end_fd < 0) return;
  if (connection >= 0) {
    watched_connection = connection;
    connection_end = end;
    signal_on(connection, true);
    // One that closed before is caught here.
    raise(kWakeSignal);
  }
  if (pipe(quit_ends) != 0) return;
  for (int end : quit_ends) fcntl(end, F_SETFD, FD_CLOEXEC);
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  try {
    watcher = std::thread([await_end, quit = quit_ends[0]] {
      const char* what = await_end(quit);
      if (!what) return;
      session_end = what;
      pthread_kill(main_thread, kWakeSignal);
    });
  } catch (const std::exception&) {
    for (int end : quit_ends) close(end);
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// Closing the write end makes the read end readable, at its end of file.
void stop_watching_session() {
  if (watched_connection >= 0) signal_on(watched_connection, false);
  if (!watcher.joinable()) return;
  close(quit_ends[1]);
  watcher.join();
  close(quit_ends[0]);
}

const char* session_ended() {
  return session_end.load();
}

bool ending() {
  return received || session_end.load();
}
