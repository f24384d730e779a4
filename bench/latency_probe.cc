// Time from writing one command to the agent (or a floor program) until the
// X server delivers its motion to a window covering the screen:
//   latency_probe COUNT -- COMMAND ARGS...
// Each line is written only after the previous one's event has arrived.
// Prints the median and the 99th percentile in microseconds.
#include <X11/Xlib.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Waits for the next motion event; false when none comes within 5 s.
bool await_motion(Display* display) {
  pollfd ready{ConnectionNumber(display), POLLIN, 0};
  for (;;) {
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MotionNotify) return true;
    }
    if (poll(&ready, 1, 5000) != 1) return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: latency_probe COUNT -- COMMAND...\n");
    return 2;
  }
  int count = atoi(argv[1]);
  Display* display = XOpenDisplay(nullptr);
  if (!display) return 1;
  int screen = DefaultScreen(display);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.event_mask = PointerMotionMask;
  Window window =
      XCreateWindow(display, RootWindow(display, screen), 0, 0, DisplayWidth(display, screen),
                    DisplayHeight(display, screen), 0, CopyFromParent, InputOnly, CopyFromParent,
                    CWOverrideRedirect | CWEventMask, &attributes);
  XMapWindow(display, window);
  XSync(display, False);

  int in[2];
  if (pipe(in) != 0) return 1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", 1, 0);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  pid_t pid;
  if (posix_spawnp(&pid, argv[3], &actions, nullptr, argv + 3, environ) != 0) return 1;
  close(in[0]);

  const std::string lines[] = {"{\"type\":\"move\",\"x\":0.25,\"y\":0.25}\n",
                               "{\"type\":\"move\",\"x\":0.75,\"y\":0.75}\n"};
  std::vector<double> micros;
  for (int i = -10; i < count; ++i) {  // the first few warm up and wait out start-up
    const std::string& line = lines[(i + 10) % 2];
    auto start = std::chrono::steady_clock::now();
    if (write(in[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 1;
    if (!await_motion(display)) {
      fprintf(stderr, "latency_probe: no event arrived\n");
      return 1;
    }
    if (i >= 0) {
      micros.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
    }
  }
  close(in[1]);
  waitpid(pid, nullptr, 0);
  std::sort(micros.begin(), micros.end());
  printf("median_us=%.1f p99_us=%.1f\n", micros[micros.size() / 2],
         micros[micros.size() * 99 / 100]);
  return 0;
}
