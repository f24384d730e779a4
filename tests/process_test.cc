// The built stand-in executable run as a controller runs it: a separate
// process with its standard streams on pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(20);

struct Agent {
  pid_t pid = -1;
  int input = -1;   // the agent's standard input
  int output = -1;  // its standard output
  int errors = -1;  // its standard error
};

Agent start(std::vector<std::string> args, std::vector<std::string> variables) {
  int in[2], out[2], err[2];
  EXPECT_EQ(pipe(in), 0);
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(err), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }
  args.insert(args.begin(), STANDIN_PATH);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  for (char** variable = environ; *variable; ++variable) {
    if (std::string_view(*variable).rfind("INPUT_AGENT_STANDIN_", 0) != 0) {
      variables.emplace_back(*variable);
    }
  }
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  Agent agent;
  EXPECT_EQ(posix_spawn(&agent.pid, STANDIN_PATH, &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  agent.input = in[1];
  agent.output = out[0];
  agent.errors = err[0];
  return agent;
}

void send(const Agent& agent, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(agent.input, bytes.data(), bytes.size());
    ASSERT_GT(written, 0);
    bytes.remove_prefix(written);
  }
}

void close_input(Agent& agent) {
  close(agent.input);
  agent.input = -1;
}

// Reads up to and including the next line feed, or what came before the end.
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

// The exit status, or -1 when the agent did not exit in time (it is killed).
int wait_for_exit(Agent& agent) {
  auto deadline = Clock::now() + kPatience;
  int status = 0;
  while (waitpid(agent.pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(agent.pid, SIGKILL);
      waitpid(agent.pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool still_running(const Agent& agent) {
  int status;
  return waitpid(agent.pid, &status, WNOHANG) == 0;
}

std::vector<std::string> file_lines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// Waits until the trace holds `count` lines; the agent writes each command's
// lines before it reads the next one, so they appear while it still runs.
std::vector<std::string> await_trace(const std::string& path, size_t count) {
  auto deadline = Clock::now() + kPatience;
  std::vector<std::string> lines = file_lines(path);
  while (lines.size() < count && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    lines = file_lines(path);
  }
  return lines;
}

class AgentProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/input-agent-trace-XXXXXX";
    int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    trace_ = pattern;
  }
  void TearDown() override { unlink(trace_.c_str()); }
  std::string trace_variable() const { return "INPUT_AGENT_STANDIN_TRACE=" + trace_; }

  std::string trace_;
};

using Lines = std::vector<std::string>;

}  // namespace

TEST_F(AgentProcess, ExitsAtOnceInSelfTestAndUntrustedModesWithoutReading) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> variables;
    const char* output;
    int status;
  } cases[] = {
      {"self-test as the second of three",
       {"first", "--self-test", "third"},
       {"INPUT_AGENT_STANDIN_TRUSTED=0"},
       "READY keys=83\n",
       0},
      {"untrusted", {}, {"INPUT_AGENT_STANDIN_TRUSTED=0"}, "ACCESSIBILITY_REQUIRED\n", 1},
  };
  for (const Case& c : cases) {
    std::vector<std::string> variables = c.variables;
    variables.push_back(trace_variable());
    Agent agent = start(c.args, variables);
    // Standard input stays open and silent: an agent that read it would hang.
    EXPECT_EQ(wait_for_exit(agent), c.status) << c.name;
    EXPECT_EQ(read_rest(agent.output), c.output) << c.name;
    EXPECT_EQ(read_rest(agent.errors), "") << c.name;
    close_input(agent);
  }
  EXPECT_EQ(file_lines(trace_), Lines{});
}

TEST_F(AgentProcess, ReportsReadyThenPostsEachCommandBeforeReadingTheNext) {
  Agent agent = start({}, {trace_variable()});
  EXPECT_EQ(read_line(agent.output), "READY\n");
  send(agent, "{\"type\":\"key\",\"code\":\"ShiftLeft\",\"down\":true}\r\n");
  EXPECT_EQ(await_trace(trace_, 1), Lines{"key 56 down 0x20000"});
  send(agent, "{\"type\":\"button\",\"x\":0.5,\"y\":0.5,\"button\":0,\"down\":true}\n");
  EXPECT_EQ(await_trace(trace_, 2),
            (Lines{"key 56 down 0x20000", "mouse 1 959.5 539.5 0 0x20000"}));
  EXPECT_TRUE(still_running(agent));

  // Closing the pipe lets go of everything held, then the agent exits.
  close_input(agent);
  EXPECT_EQ(wait_for_exit(agent), 0);
  EXPECT_EQ(file_lines(trace_), (Lines{"key 56 down 0x20000", "mouse 1 959.5 539.5 0 0x20000",
                                       "key 56 up 0x0", "mouse 2 959.5 539.5 0 0x0"}));
  EXPECT_EQ(read_rest(agent.output), "");
  EXPECT_EQ(read_rest(agent.errors), "");
}

TEST_F(AgentProcess, ReadsItsPlatformFromTheEnvironmentAndAppendsToTheTrace) {
  { std::ofstream(trace_) << "earlier line\n"; }
  Agent agent = start({}, {trace_variable(), "INPUT_AGENT_STANDIN_DISPLAY=10,20,101,201",
                           "INPUT_AGENT_STANDIN_FAIL=key,cursor"});
  send(agent,
       "{\"type\":\"key\",\"code\":\"KeyA\",\"down\":true}\n"
       "{\"type\":\"button\",\"x\":1,\"y\":0.5,\"button\":0,\"down\":true}\n"
       "{\"type\":\"wheel\",\"delta\":-50}");
  close_input(agent);
  EXPECT_EQ(wait_for_exit(agent), 0);
  // Keys fail to be created; the release finds no cursor and uses (0, 0).
  EXPECT_EQ(file_lines(trace_),
            (Lines{"earlier line", "mouse 1 110 120 0 0x0", "wheel 50", "mouse 2 0 0 0 0x0"}));
}

TEST_F(AgentProcess, SurvivesHostileInputAndHandlesWhatFollows) {
  Agent agent = start({}, {trace_variable()});
  EXPECT_EQ(read_line(agent.output), "READY\n");
  std::string junk(3 << 20, 'x');  // a line far over every limit
  for (size_t i = 0; i < junk.size(); i += 4099) junk[i] = static_cast<char>(i * 131);
  for (size_t i = 0; i < junk.size(); ++i) {
    if (junk[i] == '\n') junk[i] = '\0';
  }
  std::thread writer([&] {
    send(agent, junk);
    const char tail[] = "\n\xFF\xFE\0\0{\n[[[[[[[[\n{\"type\":\"wheel\",\"delta\":7}\n";
    send(agent, std::string_view(tail, sizeof tail - 1));
    close_input(agent);
  });
  writer.join();
  EXPECT_EQ(wait_for_exit(agent), 0);
  EXPECT_EQ(file_lines(trace_), Lines{"wheel -7"});
  EXPECT_EQ(read_rest(agent.output), "");
  EXPECT_EQ(read_rest(agent.errors), "");
}
