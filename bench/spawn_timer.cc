// Runs a command many times and reports the median wall time, the 99th
// percentile, the median processor time (user and system) and the largest
// peak memory of its runs:
//   spawn_timer RUNS [--stdin FILE] [--until-ready] -- COMMAND ARGS...
// With --until-ready, a run is timed up to the first line the command
// writes (its status line); its input is then closed and it is waited for.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: spawn_timer RUNS [--stdin FILE] [--until-ready] -- COMMAND...\n");
    return 2;
  }
  int runs = atoi(argv[1]);
  const char* input = "/dev/null";
  bool until_ready = false;
  int at = 2;
  for (; at < argc && strcmp(argv[at], "--") != 0; ++at) {
    if (strcmp(argv[at], "--stdin") == 0) input = argv[++at];
    if (strcmp(argv[at], "--until-ready") == 0) until_ready = true;
  }
  char** command = argv + at + 1;
  std::vector<double> micros, cpu_micros;
  long peak_kb = 0;
  for (int run = 0; run < runs; ++run) {
    int out[2];
    if (pipe(out) != 0) return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input, O_RDONLY, 0);
    if (until_ready) {
      posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, command[0], &actions, nullptr, command, environ) != 0) return 1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    auto end = start;
    if (until_ready) {
      char c;
      while (read(out[0], &c, 1) == 1 && c != '\n') {
      }
      end = std::chrono::steady_clock::now();
    }
    int status;
    rusage usage;
    wait4(pid, &status, 0, &usage);
    if (!until_ready) end = std::chrono::steady_clock::now();
    close(out[0]);
    micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    peak_kb = std::max(peak_kb, usage.ru_maxrss);
    auto micros_of = [](timeval t) { return t.tv_sec * 1e6 + t.tv_usec; };
    cpu_micros.push_back(micros_of(usage.ru_utime) + micros_of(usage.ru_stime));
  }
  std::sort(micros.begin(), micros.end());
  std::sort(cpu_micros.begin(), cpu_micros.end());
  printf("median_us=%.1f p99_us=%.1f cpu_us=%.1f peak_kb=%ld\n", micros[micros.size() / 2],
         micros[std::min(micros.size() - 1, micros.size() * 99 / 100)],
         cpu_micros[cpu_micros.size() / 2], peak_kb);
  return 0;
}
