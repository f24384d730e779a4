#include "child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool starts_with_any(std::string_view text, const std::vector<std::string>& prefixes) {
  for (const std::string& prefix : prefixes) {
    if (text.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

}  // namespace

Child start_child(const std::string& path, std::vector<std::string> args,
                  std::vector<std::string> variables, std::vector<std::string> unset, int input) {
  // Close-on-exec, so no other child keeps a copy of a pipe open.
  int in[2] = {input, -1}, out[2], err[2];
  if (input < 0) {
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
  }
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  args.insert(args.begin(), path);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  for (char** variable = environ; *variable; ++variable) {
    if (!starts_with_any(*variable, unset)) variables.emplace_back(*variable);
  }
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  Child child;
  EXPECT_EQ(posix_spawn(&child.pid, path.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  if (input < 0) close(in[0]);
  close(out[1]);
  close(err[1]);
  child.input = in[1];
  child.output = out[0];
  child.errors = err[0];
  return child;
}

void send(const Child& child, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(child.input, bytes.data(), bytes.size());
    ASSERT_GT(written, 0);
    bytes.remove_prefix(written);
  }
}

void close_input(Child& child) {
  if (child.input >= 0) close(child.input);
  child.input = -1;
}

std::string read_line(int fd) {
  std::string line;
  char c;
  pollfd ready{fd, POLLIN, 0};
  while (poll(&ready, 1, 20000) == 1 && read(fd, &c, 1) == 1) {
    line += c;
    if (c == '\n') break;
  }
  return line;
}

std::string read_rest(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t count;
  while ((count = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, count);
  return text;
}

int wait_for_end(Child& child, std::chrono::milliseconds patience) {
  auto deadline = Clock::now() + patience;
  int status = 0;
  while (waitpid(child.pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return status;
}

std::thread keep_sending(const Child& child, std::string bytes) {
  signal(SIGPIPE, SIG_IGN);
  return std::thread([fd = child.input, bytes = std::move(bytes)] {
    for (;;) {
      for (std::string_view left = bytes; !left.empty();) {
        ssize_t written = write(fd, left.data(), left.size());
        if (written <= 0) return;
        left.remove_prefix(written);
      }
    }
  });
}

int wait_for_exit(Child& child) {
  int status = wait_for_end(child);
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool still_running(const Child& child) {
  int status;
  return waitpid(child.pid, &status, WNOHANG) == 0;
}

Ending kill_server_under(Child& agent, pid_t server, const std::string& hold,
                         const std::string& stream, std::chrono::milliseconds patience) {
  send(agent, hold);
  std::thread streaming;
  if (!stream.empty()) streaming = keep_sending(agent, stream);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kill(server, SIGKILL);
  Ending ending{wait_for_end(agent, patience), "", ""};
  if (streaming.joinable()) streaming.join();
  ending.output = read_rest(agent.output);
  ending.errors = read_rest(agent.errors);
  close_pipes(agent);
  return ending;
}

bool exited_with(int status, int code) {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

void close_pipes(Child& child) {
  close_input(child);
  for (int* fd : {&child.output, &child.errors}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}
