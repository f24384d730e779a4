// The built stand-in executable run as a controller runs it: a separate
// process with its standard streams on pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(20);

Child start(std::vector<std::string> args, std::vector<std::string> variables) {
  return start_child(STANDIN_PATH, std::move(args), std::move(variables), {"INPUT_AGENT_STANDIN_"});
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
    Child agent = start(c.args, variables);
    // Standard input stays open and silent: an agent that read it would hang.
    EXPECT_EQ(wait_for_exit(agent), c.status) << c.name;
    EXPECT_EQ(read_rest(agent.output), c.output) << c.name;
    EXPECT_EQ(read_rest(agent.errors), "") << c.name;
    close_input(agent);
  }
  EXPECT_EQ(file_lines(trace_), Lines{});
}

TEST_F(AgentProcess, ReportsReadyThenPostsEachCommandBeforeReadingTheNext) {
  Child agent = start({}, {trace_variable()});
  EXPECT_EQ(read_line(agent.output), "READY\n");
  send(agent, "{\"type\":\"key\",\"code\":\"ShiftLeft\",\"down\":true}\r\n");
  EXPECT_EQ(await_trace(trace_, 1), Lines{"key 56 down 0x20000"});
  send(agent, "{\"type\":\"button\",\"x\":0.5,\"y\":0.5,\"button\":0,\"down\":true}\n");
  EXPECT_EQ(await_trace(trace_, 2),
            (Lines{"key 56 down 0x20000", "mouse 1 959.5 539.5 0 0x20000 1"}));
  EXPECT_TRUE(still_running(agent));

  // Closing the pipe lets go of everything held, then the agent exits.
  close_input(agent);
  EXPECT_EQ(wait_for_exit(agent), 0);
  EXPECT_EQ(file_lines(trace_), (Lines{"key 56 down 0x20000", "mouse 1 959.5 539.5 0 0x20000 1",
                                       "key 56 up 0x0", "mouse 2 959.5 539.5 0 0x0 1"}));
  EXPECT_EQ(read_rest(agent.output), "");
  EXPECT_EQ(read_rest(agent.errors), "");
}

TEST_F(AgentProcess, ReadsItsPlatformFromTheEnvironmentAndAppendsToTheTrace) {
  { std::ofstream(trace_) << "earlier line\n"; }
  Child agent =
      start({}, {trace_variable(), "INPUT_AGENT_STANDIN_DISPLAY=10,20,101,201",
                 "INPUT_AGENT_STANDIN_FAIL=key,cursor", "INPUT_AGENT_STANDIN_DOUBLE_CLICK_MS=0"});
  send(agent,
       "{\"type\":\"key\",\"code\":\"KeyA\",\"down\":true}\n"
       "{\"type\":\"button\",\"x\":1,\"y\":0.5,\"button\":0,\"down\":true}\n"
       "{\"type\":\"button\",\"x\":1,\"y\":0.5,\"button\":0,\"down\":true}\n"
       "{\"type\":\"wheel\",\"delta\":-50}");
  close_input(agent);
  EXPECT_EQ(wait_for_exit(agent), 0);
  // Keys fail to be created; no two presses are a double click; the release
  // finds no cursor and uses (0, 0).
  EXPECT_EQ(file_lines(trace_),
            (Lines{"earlier line", "mouse 1 110 120 0 0x0 1", "mouse 1 110 120 0 0x0 1", "wheel 50",
                   "mouse 2 0 0 0 0x0 1"}));
}

TEST_F(AgentProcess, SurvivesHostileInputAndHandlesWhatFollows) {
  Child agent = start({}, {trace_variable()});
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

// Controllers and terminals stop a process with these; the agent lets go of
// what it holds, says nothing, and ends by the signal it was sent. One that
// it was started ignoring (as under nohup) stays ignored.
TEST_F(AgentProcess, AStopSignalLetsGoOfEverythingAndEndsByThatSignal) {
  const Lines held{"key 56 down 0x20000", "mouse 1 959.5 539.5 0 0x20000 1"};
  const Lines released{"key 56 down 0x20000", "mouse 1 959.5 539.5 0 0x20000 1", "key 56 up 0x0",
                       "mouse 2 959.5 539.5 0 0x0 1"};
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    std::string name = strsignal(signal);
    unlink(trace_.c_str());
    Child agent = start({}, {trace_variable()});
    EXPECT_EQ(read_line(agent.output), "READY\n") << name;
    send(agent,
         "{\"type\":\"key\",\"code\":\"ShiftLeft\",\"down\":true}\n"
         "{\"type\":\"button\",\"x\":0.5,\"y\":0.5,\"button\":0,\"down\":true}\n");
    EXPECT_EQ(await_trace(trace_, 2), held) << name;
    kill(agent.pid, signal);
    int status = wait_for_end(agent);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << name << ": " << status;
    EXPECT_EQ(file_lines(trace_), released) << name;
    EXPECT_EQ(read_rest(agent.output), "") << name;
    EXPECT_EQ(read_rest(agent.errors), "") << name;
    close_pipes(agent);
  }

  unlink(trace_.c_str());
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGHUP, &ignore, &previous);
  Child agent = start({}, {trace_variable()});
  sigaction(SIGHUP, &previous, nullptr);
  EXPECT_EQ(read_line(agent.output), "READY\n");
  kill(agent.pid, SIGHUP);
  send(agent, "{\"type\":\"wheel\",\"delta\":7}\n");
  EXPECT_EQ(await_trace(trace_, 1), Lines{"wheel -7"}) << "ignored SIGHUP";
  close_input(agent);
  EXPECT_EQ(wait_for_exit(agent), 0) << "ignored SIGHUP";
  close_pipes(agent);
}

// A session that ends under the agent ends it with status 2, nothing more
// on standard output; asked to, it says on standard error what ended.
TEST_F(AgentProcess, ASessionThatEndsEndsItWithItsOwnStatus) {
  for (bool verbose : {false, true}) {
    std::vector<std::string> variables = {
        trace_variable(), "INPUT_AGENT_STANDIN_SESSION_COMMANDS=1",
        verbose ? "INPUT_AGENT_VERBOSE=1" : "INPUT_AGENT_VERBOSE="};
    Child agent = start({}, variables);
    EXPECT_EQ(read_line(agent.output), "READY\n");
    send(agent,
         "{\"type\":\"key\",\"code\":\"KeyA\",\"down\":true}\n"
         "{\"type\":\"key\",\"code\":\"KeyB\",\"down\":true}\n");
    EXPECT_EQ(wait_for_exit(agent), 2) << verbose;
    EXPECT_EQ(read_rest(agent.output), "") << verbose;
    EXPECT_EQ(read_rest(agent.errors),
              verbose ? "input-agent: the session ended: the stand-in's session ended\n" : "");
    close_pipes(agent);
  }
}

// A pipe handed over in non-blocking mode has nothing to read most of the
// time; that is not the end of input.
TEST_F(AgentProcess, WaitsForInputOnANonBlockingPipe) {
  signal(SIGPIPE, SIG_IGN);  // an agent that left early must fail the test, not end it
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
  Child agent =
      start_child(STANDIN_PATH, {}, {trace_variable()}, {"INPUT_AGENT_STANDIN_"}, ends[0]);
  close(ends[0]);
  agent.input = ends[1];
  fcntl(agent.input, F_SETFL, 0);
  EXPECT_EQ(read_line(agent.output), "READY\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(still_running(agent));
  send(agent, "{\"type\":\"key\",\"code\":\"KeyA\",\"down\":true}\n");
  EXPECT_EQ(await_trace(trace_, 1), Lines{"key 0 down 0x0"});
  close_input(agent);
  EXPECT_EQ(wait_for_exit(agent), 0);
  EXPECT_EQ(file_lines(trace_), (Lines{"key 0 down 0x0", "key 0 up 0x0"}));
  close_pipes(agent);
}
