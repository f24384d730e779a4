// input-agent against a real Wayland compositor: each test starts its own
// headless sway (as an unprivileged user, which sway insists on) with two
// outputs, runs a recorder client with a fullscreen window on each, runs the
// agent with pipes, and compares what the recorder receives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <simdjson.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "child_process.h"
#include "desktop_commands.h"
#include "wayland_recording.h"

namespace {

using Clock = std::chrono::steady_clock;

// The main output at 0,0 and a smaller one to its right.
constexpr char kOutputs[] =
    "output HEADLESS-1 mode 1280x800 position 0 0\n"
    "output HEADLESS-2 mode 640x480 position 1280 0\n";

// The main output at 0,0 and, below it and further right, a smaller one at
// scale 2: 960x540 logical pixels.
constexpr char kScaledOutputs[] =
    "output HEADLESS-1 mode 1280x800 position 0 0\n"
    "output HEADLESS-2 mode 1920x1080 position 160 800 scale 2\n";

// A headless sway of the test's own, in a runtime folder of its own.
class Sway {
 public:
  explicit Sway(const char* outputs = kOutputs) {
    char pattern[] = "/tmp/input-agent-sway-XXXXXX";
    folder_ = mkdtemp(pattern);
    std::string config = folder_ + "/config";
    // sway 1.7 grants pointer locks only where a seat's configuration
    // allows them, and there is none by default.
    std::ofstream(config) << outputs
                          << "xwayland disable\ndefault_border none\nfocus_follows_mouse no\n"
                          << "seat * pointer_constraint enable\n"
                          << "exec touch " << folder_ << "/ready\n";
    std::vector<std::string> variables = {
        "XDG_RUNTIME_DIR=" + folder_, "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1",
        "WLR_HEADLESS_OUTPUTS=2",     "WLR_RENDERER=pixman",   "HOME=" + folder_,
    };
    std::vector<std::string> sway = {"/usr/bin/sway", "-c", config};
    // sway will not run as root; there it runs as nobody.
    if (geteuid() == 0) {
      passwd* nobody = getpwnam("nobody");
      EXPECT_NE(nobody, nullptr);
      EXPECT_EQ(chown(folder_.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
      sway.insert(sway.begin(),
                  {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    }
    process_ = start_child(sway.front(), {sway.begin() + 1, sway.end()}, variables,
                           {"WAYLAND_DISPLAY=", "DISPLAY=", "XDG_RUNTIME_DIR="});
    close_input(process_);
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(folder_ + "/ready") && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      std::string name = entry.path().filename();
      if (name.starts_with("wayland-") && !name.ends_with(".lock")) socket_ = name;
      if (name.starts_with("sway-ipc.")) ipc_ = entry.path();
    }
  }
  ~Sway() {
    kill(process_.pid, SIGCONT);
    kill(process_.pid, SIGTERM);
    wait_for_end(process_);
    close_pipes(process_);
    std::filesystem::remove_all(folder_);
  }

  bool running() const { return !socket_.empty() && !ipc_.empty(); }
  pid_t pid() const { return process_.pid; }

  // What a client of this compositor needs in its environment.
  std::vector<std::string> client_environment() const {
    return {"XDG_RUNTIME_DIR=" + folder_, "WAYLAND_DISPLAY=" + socket_};
  }

  // Runs a sway command through its IPC socket, e.g. "output HEADLESS-1 position 640 0".
  bool command(const std::string& words) const {
    std::string line = "swaymsg -q -s '" + ipc_ + "' '" + words + "'";
    return system(line.c_str()) == 0;
  }

  // Its answer to an IPC query, e.g. "get_outputs", as JSON.
  std::string query(const std::string& type) const {
    std::string line = "swaymsg -r -s '" + ipc_ + "' -t " + type;
    std::string answer;
    FILE* pipe = popen(line.c_str(), "r");
    char piece[4096];
    for (size_t count; pipe && (count = fread(piece, 1, sizeof piece, pipe)) > 0;) {
      answer.append(piece, count);
    }
    if (pipe) pclose(pipe);
    return answer;
  }

 private:
  std::string folder_, socket_, ipc_;
  Child process_;
};

// The variables that choose a backend, which the tests set themselves.
const std::vector<std::string> kChoosing = {"WAYLAND_DISPLAY=",     "DISPLAY=",
                                            "XDG_RUNTIME_DIR=",     "XDG_SESSION_TYPE=",
                                            "INPUT_AGENT_BACKEND=", "INPUT_AGENT_VERBOSE="};

constexpr Rect kMain{0, 0, 1280, 800};

class WaylandAgent : public ::testing::Test {
 protected:
  explicit WaylandAgent(const char* outputs = kOutputs) : sway_(outputs) {}

  void SetUp() override {
    ASSERT_TRUE(sway_.running());
    start_recorder();
  }

  void TearDown() override {
    if (agent_.pid > 0) {
      close_input(agent_);
      wait_for_end(agent_);
      close_pipes(agent_);
    }
    recording_.stop();
  }

  void start_recorder() {
    ASSERT_TRUE(recording_.start(RECORDER_PATH, sway_.client_environment(), kChoosing));
  }
  void stop_recorder() { recording_.stop(); }

  // Starts the agent on this compositor and, unless told not to, waits until
  // the pointer has come into the recorder's window (the compositor says so
  // wherever its cursor happens to be).
  void start_agent(std::vector<std::string> variables = {}, bool settle = true) {
    for (const std::string& variable : sway_.client_environment()) variables.push_back(variable);
    agent_ = start_child(AGENT_PATH, {}, variables, kChoosing);
    ASSERT_EQ(read_line(agent_.output), "READY\n");
    if (settle) observe("");
  }

  Seen until(const std::string& last) { return recording_.until(last); }
  Seen observe(const std::string& commands, Rect area = kMain) {
    return recording_.observe(agent_, commands, area);
  }

  // The recorder locks the pointer on its window under it, as a game does;
  // the compositor grants that only to the window with the seat's focus.
  void lock() {
    recording_.tell("lock");
    EXPECT_EQ(until("locked"), Seen{});
  }
  void unlock() {
    recording_.tell("unlock");
    EXPECT_EQ(until("unlocked"), Seen{});
  }

  // What the recorder saw of `commands`, with a key rather than a move to
  // mark the end: the pointer stays where they put it, or where a lock
  // holds it.
  Seen observe_by_key(const std::string& commands) {
    send(agent_, commands + key("F12", true) + key("F12", false));
    Seen seen = until("key up F12");
    std::erase_if(seen, [](const std::string& line) { return line.starts_with("key down F12"); });
    return seen;
  }

  Sway sway_;
  WaylandRecording recording_;
  Child agent_;
};

// The compositor announces the agent's new devices to applications, which
// only then ask for a keyboard and a pointer; the agent reports that it is
// ready after that, so its first command is not lost.
TEST_F(WaylandAgent, TheFirstCommandsArriveAfterReady) {
  start_agent({}, false);
  Seen keys;
  for (const std::string& line : observe(key("KeyQ", true) + key("KeyQ", false))) {
    if (line.starts_with("key")) keys.push_back(line);
  }
  EXPECT_EQ(keys, (Seen{"key down q", "key up q"}));
}

TEST_F(WaylandAgent, TypesAShiftedKey) {
  start_agent();
  EXPECT_EQ(observe(key("ShiftLeft", true) + key("KeyA", true) + key("KeyA", false) +
                    key("ShiftLeft", false)),
            (Seen{"key down Shift_L", "key down a with shift", "key up a with shift",
                  "key up Shift_L with shift"}));
}

TEST_F(WaylandAgent, EveryModifierPairReachesTheNextKey) {
  start_agent();
  Script pairs = modifier_pairs();
  EXPECT_EQ(pair_presses(observe(pairs.commands), pairs), pairs.expected);
}

// Caps Lock locks: it holds for the keys after its release, until pressed
// again.
TEST_F(WaylandAgent, CapsLockLocks) {
  start_agent();
  EXPECT_EQ(observe(key("CapsLock", true) + key("CapsLock", false) + key("KeyA", true) +
                    key("KeyA", false) + key("CapsLock", true) + key("CapsLock", false) +
                    key("KeyA", true) + key("KeyA", false)),
            (Seen{"key down Caps_Lock", "key up Caps_Lock with lock", "key down a with lock",
                  "key up a with lock", "key down Caps_Lock with lock",
                  "key up Caps_Lock with lock", "key down a", "key up a"}));
}

// Repeats are the controller's (the table in desktop_commands): the
// compositor works the modifiers out from what the agent tells it, which
// must stay true however often a key goes down.
TEST_F(WaylandAgent, RepeatsAreExactlyTheCommands) {
  start_agent();
  for (const RepeatCase& c : repeat_cases()) {
    send(agent_, c.commands);
    std::this_thread::sleep_for(c.held_for);
    EXPECT_EQ(starting_with(observe(c.then), "key"), c.keys) << c.name;
  }
}

TEST_F(WaylandAgent, EveryKeyLandsOnItsPhysicalKey) {
  start_agent();
  Script keys = every_key();
  EXPECT_EQ(landed_keys(observe(keys.commands), keys), keys.expected);
}

// Another output sits to the right of the main one; fractions map into the
// main one alone.
TEST_F(WaylandAgent, MovesReachTheMainOutputsFirstAndLastPixel) {
  start_agent();
  EXPECT_EQ(observe(move(0, 0) + move(1, 1) + move(1, 0) + move(0.5, 0.25)),
            (Seen{"move 0,0", "move 1279,799", "move 1279,0", "move 640,200"}));
}

TEST_F(WaylandAgent, ButtonsPressAndReleaseWhereTheCommandSays) {
  start_agent();
  Seen seen;
  for (const std::string& line :
       observe(button(0, 0, 0, true) + button(0, 0, 0, false) + button(1, 1, 1, true) +
               button(1, 1, 1, false) + button(0.5, 0.5, 2, true) + button(0.5, 0.5, 2, false))) {
    if (line.starts_with("button")) seen.push_back(line);
  }
  EXPECT_EQ(seen, (Seen{"button down 1 at 0,0", "button up 1 at 0,0", "button down 2 at 1279,799",
                        "button up 2 at 1279,799", "button down 3 at 640,400",
                        "button up 3 at 640,400"}));
}

TEST_F(WaylandAgent, MovesWithAButtonHeldAreDrags) {
  start_agent();
  Seen seen;
  for (const std::string& line :
       observe(button(0, 0, 0, true) + move(0.5, 0.5) + button(0.5, 0.5, 0, false) +
               button(0, 0, 2, true) + move(1, 1) + button(1, 1, 2, false))) {
    if (!line.starts_with("move 0,0")) seen.push_back(line);
  }
  EXPECT_EQ(seen, (Seen{"button down 1 at 0,0", "move 640,400 with button1",
                        "button up 1 at 640,400", "button down 3 at 0,0",
                        "move 1279,799 with button3", "button up 3 at 1279,799"}));
}

// A window that locked the pointer gets the motion exactly as sent, whole
// pixels and fractions, past the screen's edge, with the buttons and
// modifiers held. Each case locks the pointer at the main output's left
// edge, after `before`, and unlocks it; letting go then puts a button up
// where the lock held the pointer, and an absolute move lands exactly.
TEST_F(WaylandAgent, RelativeMotionReachesALockedWindowExactly) {
  start_agent();
  observe(button(0, 0.5, 0, true) + button(0, 0.5, 0, false));  // the seat's focus
  struct Case {
    const char* name;
    std::string before, commands;
    Seen locked, after;
  } cases[] = {
      {"one move", "", movement(30, -20), {relative("30,-20")}, {}},
      {"each axis alone",
       "",
       movement_alone("movementX", "15") + movement_alone("movementY", "-5"),
       {relative("15,0"), relative("0,-5")},
       {}},
      {"past the left edge", "", repeated(movement(-100, 0), 20), Seen(20, relative("-100,0")), {}},
      {"half pixels", "", repeated(movement(0.5, 0), 4), Seen(4, relative("0.5,0")), {}},
      {"a drag",
       button(0, 0.5, 0, true),
       movement(10, -4),
       {relative("10,-4", " with button1")},
       {"button up 1 at 0,400"}},
      {"Shift held, text between",
       key("ShiftLeft", true),
       text("x") + movement(5, 5),
       {"key down x", "key up x", relative("5,5", " with shift")},
       {"key up Shift_L with shift"}},
      {"a string and an out-of-range value dropped",
       "",
       movement_alone("movementX", R"("5")") + movement_alone("movementX", "10001") +
           movement(1, 0),
       {relative("1,0")},
       {}},
  };
  for (const Case& c : cases) {
    observe_by_key(move(0, 0.5) + c.before);
    lock();
    EXPECT_EQ(observe_by_key(c.commands), c.locked) << c.name;
    unlock();
    Seen after = c.after;
    after.push_back("move 320,200");
    EXPECT_EQ(observe(release() + move(0.25, 0.25)), after) << c.name;
  }
  // Each tenth goes as the nearest 1/256 pixel, what is left carried over:
  // ten come to one pixel exactly.
  observe_by_key(move(0, 0.5));
  lock();
  Seen tenths = observe_by_key(repeated(movement(0.1, 0), 10));
  unlock();
  EXPECT_EQ(tenths.size(), 10u);
  EXPECT_EQ(unaccelerated_total(tenths), (std::pair{1.0, 0.0}));
}

// Elsewhere the pointer moves by as much, unaccelerated, and stays on the
// outputs; with a button held it drags, with the modifiers held, and
// letting go puts the button up where the motion took it. Each case starts
// at the main output's middle.
TEST_F(WaylandAgent, RelativeMotionMovesThePointerAsAMouseDoes) {
  start_agent();
  struct Case {
    const char* name;
    std::string commands;
    Seen seen;
  } cases[] = {
      {"one move", movement(30, -20), {"move 670,380"}},
      {"each axis alone",
       movement_alone("movementX", "15") + movement_alone("movementY", "-5"),
       {"move 655,400", "move 655,395"}},
      {"past the left edge",
       repeated(movement(-100, 0), 20),
       {"move 540,400", "move 440,400", "move 340,400", "move 240,400", "move 140,400",
        "move 40,400", "move 0,400"}},
      {"half pixels",
       repeated(movement(0.5, 0), 4),
       {"move 640,400", "move 641,400", "move 641,400", "move 642,400"}},
      {"a drag let go where it began",
       button(0.5, 0.5, 0, true) + movement(10, -4) + button(0.5, 0.5, 0, false),
       {"button down 1 at 640,400", "move 650,396 with button1", "move 640,400 with button1",
        "button up 1 at 640,400"}},
      {"a drag with Shift held, let go",
       key("ShiftLeft", true) + button(0.5, 0.5, 0, true) + movement(10, -4) + release(),
       {"key down Shift_L", "button down 1 at 640,400", "move 650,396 with shift+button1",
        "key up Shift_L with shift+button1", "button up 1 at 650,396"}},
      {"a string and an out-of-range value dropped",
       movement_alone("movementX", R"("5")") + movement_alone("movementX", "10001") +
           movement(1, 0),
       {"move 641,400"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(observe_by_key(move(0, 0) + move(0.5, 0.5)), (Seen{"move 0,0", "move 640,400"}))
        << "before " << c.name;
    EXPECT_EQ(observe_by_key(c.commands), c.seen) << c.name;
  }
}

TEST_F(WaylandAgent, WheelScrollsByStepsCarryingWhatIsLeft) {
  start_agent();
  // A step is 100 pixels; leftovers carry while the direction stays.
  Seen seen;
  for (const std::string& line :
       observe(wheel(-100) + wheel(250) + wheel(40) + wheel(20) + wheel(-30) + wheel(-80))) {
    if (line.starts_with("scroll")) seen.push_back(line);
  }
  EXPECT_EQ(seen, (Seen{"scroll -1", "scroll 2", "scroll 1", "scroll -1"}));
}

TEST_F(WaylandAgent, SidewaysWheelScrollsTheHorizontalAxis) {
  start_agent();
  EXPECT_EQ(
      starting_with(observe(sideways_wheel_script()), "scroll"),
      (Seen{"scroll right -1", "scroll right 2", "scroll right 1", "scroll 1", "scroll right -1"}));
}

// Each character by its keysym, whatever the layout (the recorder follows the
// keymaps the compositor sends it); the Shift the agent holds changes none
// of them and is still held after.
TEST_F(WaylandAgent, TypesTextWhateverTheLayoutAndModifiers) {
  start_agent();
  EXPECT_EQ(starting_with(observe(key("ShiftLeft", true) + text("Aé😀€łßü!aa\n\t") +
                                  key("KeyB", true) + key("KeyB", false) + key("ShiftLeft", false)),
                          "key down"),
            (Seen{"key down Shift_L", "key down A", "key down eacute", "key down U0001F600",
                  "key down EuroSign", "key down lstroke", "key down ssharp", "key down udiaeresis",
                  "key down exclam", "key down a", "key down a", "key down Return", "key down Tab",
                  "key down b with shift"}));
  std::string many(970, 'q');
  Seen typed = starting_with(observe(text(many)), "key down");
  EXPECT_EQ(typed, Seen(970, "key down q"));
}

// What a key types follows the person's layout: the keymap of the keyboard
// the seat used last when the agent starts (here a German one's).
TEST_F(WaylandAgent, KeysFollowThePersonsLayout) {
  Child person = start_child(KEYBOARD_PATH, {"de"}, sway_.client_environment(), kChoosing);
  ASSERT_EQ(read_line(person.output), "ready\n");
  start_agent();
  EXPECT_EQ(
      starting_with(observe(key("KeyZ", true) + key("KeyZ", false) + key("KeyY", true) +
                            key("KeyY", false) + key("Semicolon", true) + key("Semicolon", false)),
                    "key down"),
      (Seen{"key down y", "key down z", "key down odiaeresis"}));
  close_input(person);
  wait_for_end(person);
  close_pipes(person);
}

// Text keeps its keymap while text follows, growing it, and starts a new one
// when it is full (121 keys): 130 characters the layout lacks in two
// commands, then the first ten again. A click after text carries the
// modifiers held, as one before it would.
TEST_F(WaylandAgent, TextAfterTextAndInputAfterText) {
  start_agent();
  auto cjk = [](int first, int count) {
    std::string utf8;
    Seen names;
    for (int c = 0x4e00 + first; c < 0x4e00 + first + count; ++c) {
      utf8 += {static_cast<char>(0xe0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3f)),
               static_cast<char>(0x80 | (c & 0x3f))};
      char name[32];
      snprintf(name, sizeof name, "key down U%04X", c);
      names.push_back(name);
    }
    return std::pair{utf8, names};
  };
  auto [first, first_names] = cjk(0, 65);
  auto [second, second_names] = cjk(65, 65);
  auto [again, again_names] = cjk(0, 10);
  Seen expected = first_names;
  expected.insert(expected.end(), second_names.begin(), second_names.end());
  expected.insert(expected.end(), again_names.begin(), again_names.end());
  EXPECT_EQ(starting_with(observe(text(first) + text(second) + text(again)), "key down"), expected);
  EXPECT_EQ(starting_with(observe(key("ShiftLeft", true) + text("x") + button(0.25, 0.25, 0, true) +
                                  button(0.25, 0.25, 0, false) + key("ShiftLeft", false)),
                          "move"),
            (Seen{"move 320,200 with shift"}));
}

// A monitor plugged in while the agent runs is followed from the next
// command on: absolute motion spans the new layout at once, and the new
// output can be named.
TEST_F(WaylandAgent, AMonitorPluggedInIsFollowedFromTheNextCommand) {
  start_agent();
  ASSERT_TRUE(sway_.command("create_output"));
  EXPECT_EQ(observe(move(0.25, 0.25) + move_on("HEADLESS-3", 0, 0) + move(0.5, 0.5)),
            (Seen{"move 320,200", "move 640,400"}));
}

// Text's own keymap is given back once input pauses after it: a second agent
// started while the first waits reads the person's layout (German) from the
// seat, not the text's keymap.
TEST_F(WaylandAgent, TheLayoutsKeymapComesBackWhenInputPausesAfterText) {
  Child person = start_child(KEYBOARD_PATH, {"de"}, sway_.client_environment(), kChoosing);
  ASSERT_EQ(read_line(person.output), "ready\n");
  start_agent();
  // Text as the last input: any other would take the text's keymap away.
  send(agent_, text("\u00e9"));
  EXPECT_EQ(starting_with(until("key up eacute"), "key down"), Seen{"key down eacute"});
  // Well past the pause the first agent waits for.
  std::this_thread::sleep_for(std::chrono::milliseconds(750));
  Child second = start_child(AGENT_PATH, {}, sway_.client_environment(), kChoosing);
  ASSERT_EQ(read_line(second.output), "READY\n");
  EXPECT_EQ(starting_with(recording_.observe(second, key("KeyZ", true) + key("KeyZ", false), kMain),
                          "key down"),
            Seen{"key down y"});
  for (Child* child : {&second, &person}) {
    close_input(*child);
    wait_for_end(*child);
    close_pipes(*child);
  }
}

// However it ends, the agent lets go of all it holds; buttons go up where
// the agent last put the pointer, since no client can ask where it is.
TEST_F(WaylandAgent, NothingStaysHeldWhenInputEndsOrOnSigterm) {
  for (bool by_signal : {false, true}) {
    const char* name = by_signal ? "SIGTERM" : "end of input";
    start_agent();
    send(agent_, key("ShiftLeft", true) + button(0.25, 0.25, 0, true));
    EXPECT_EQ(until("button down 1 at 320,200"),
              (Seen{"key down Shift_L", "move 320,200 with shift"}))
        << name;
    if (by_signal) {
      kill(agent_.pid, SIGTERM);
    } else {
      close_input(agent_);
    }
    EXPECT_EQ(until("button up 1 at 320,200"), (Seen{"key up Shift_L with shift+button1"})) << name;
    int status = wait_for_end(agent_);
    EXPECT_TRUE(by_signal ? WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM
                          : WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << name;
    close_pipes(agent_);
    agent_ = Child();
  }
}

// SIGKILL leaves the agent no chance; the compositor lets go of what the
// virtual keyboard held when its connection closes. (A button held by the
// virtual pointer gets no release: see docs/protocol.md, "When the agent is killed".)
TEST_F(WaylandAgent, WhenTheAgentIsKilledTheCompositorReleasesItsKeys) {
  start_agent();
  send(agent_, key("ShiftLeft", true) + key("KeyK", true));
  EXPECT_EQ(until("key down k with shift"), Seen{"key down Shift_L"});
  kill(agent_.pid, SIGKILL);
  Seen released = until("key up Shift_L");
  ASSERT_EQ(released.size(), 1u);
  EXPECT_TRUE(released[0].starts_with("key up k")) << released[0];
}

// The outputs change places while the agent runs: the one now at 0,0 is
// the main one from the next command on.
TEST_F(WaylandAgent, FollowsALayoutChange) {
  start_agent();
  EXPECT_EQ(observe(move(1, 1)), Seen{"move 1279,799"});
  ASSERT_TRUE(sway_.command("output HEADLESS-2 position 0 0, output HEADLESS-1 position 640 0"));
  Rect small{0, 0, 640, 480};
  // The compositor moves the pointer along with its output first.
  Seen seen = observe(move(0, 0) + move(1, 1), small);
  seen.erase(seen.begin(), std::find(seen.begin(), seen.end(), "move 0,0"));
  EXPECT_EQ(seen, (Seen{"move 0,0", "move 639,479"}));
}

class WaylandDisplays : public WaylandAgent {
 protected:
  WaylandDisplays() : WaylandAgent(kScaledOutputs) {}
};

constexpr Rect kScaled{160, 800, 960, 540};

// A display as listed: id, x, y, width, height, scale, main.
using Listed = std::tuple<std::string, double, double, double, double, double, bool>;

// The agent's --displays, one JSON object a line.
std::vector<Listed> listed_by_agent(const std::string& lines) {
  simdjson::dom::parser parser;
  std::vector<Listed> listed;
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) {
    simdjson::dom::element d = parser.parse(line);
    listed.emplace_back(std::string(d["id"]), double(d["x"]), double(d["y"]), double(d["width"]),
                        double(d["height"]), double(d["scale"]), bool(d["main"]));
  }
  return listed;
}

// sway's own outputs (get_outputs), with `main` the main one and first.
std::vector<Listed> listed_by_sway(const std::string& json, const std::string& main) {
  simdjson::dom::parser parser;
  std::vector<Listed> listed;
  for (simdjson::dom::element output : parser.parse(json).get_array()) {
    std::string name(output["name"]);
    simdjson::dom::element rect = output["rect"];
    listed.emplace_back(name, double(rect["x"]), double(rect["y"]), double(rect["width"]),
                        double(rect["height"]), double(output["scale"]), name == main);
  }
  std::stable_partition(listed.begin(), listed.end(),
                        [](const Listed& display) { return std::get<6>(display); });
  return listed;
}

// Each output's name, logical rectangle and scale as the compositor has
// them, the one at 0,0 the main one and first.
TEST_F(WaylandDisplays, ListsTheOutputsAsTheCompositorHasThem) {
  Child lister = start_child(AGENT_PATH, {"--displays"}, sway_.client_environment(), kChoosing);
  std::vector<Listed> listed = listed_by_agent(read_rest(lister.output));
  EXPECT_TRUE(exited_with(wait_for_end(lister), 0));
  close_pipes(lister);
  std::vector<Listed> expected = listed_by_sway(sway_.query("get_outputs"), "HEADLESS-1");
  ASSERT_EQ(expected.size(), 2u);
  EXPECT_EQ(listed, expected);
}

// Fractions of the output at scale 2 reach its first, middle and last pixel,
// by moves and clicks alike. Its first row lies right below the main
// output's last, where a point that falls short would land.
TEST_F(WaylandDisplays, FractionsOfANamedOutputReachItsFirstMiddleAndLastPixel) {
  start_agent();
  const std::pair<double, double> fractions[] = {{0, 0}, {0.5, 0.5}, {1, 1}, {1, 0}, {0, 1}};
  for (auto [x, y] : fractions) {
    auto [pixel_x, pixel_y] = pixel(kScaled, x, y);
    std::string at = std::to_string(pixel_x) + "," + std::to_string(pixel_y);
    EXPECT_EQ(observe(move_on("HEADLESS-2", x, y) + button_on("HEADLESS-2", x, y, 0, true) +
                      button_on("HEADLESS-2", x, y, 0, false)),
              (Seen{"move " + at, "button down 1 at " + at, "button up 1 at " + at}))
        << x << "," << y;
  }
}

// A command that names no output addresses the main one, and one that
// names an output the compositor does not have is dropped; a named output
// is addressed where it is now.
TEST_F(WaylandDisplays, TheMainOutputUnlessNamedAndANamedOneWhereItIsNow) {
  start_agent();
  EXPECT_EQ(observe(move(1, 1) + move_on("HEADLESS-3", 0.5, 0.5) +
                    button_on("headless-2", 0.5, 0.5, 0, true) + move_on("HEADLESS-2", 0, 0)),
            (Seen{"move 1279,799", "move 160,800"}));
  ASSERT_TRUE(sway_.command("output HEADLESS-2 position 1280 200"));
  // The compositor tells the window under the pointer where it is first.
  Seen seen = observe(move_on("HEADLESS-2", 0, 0) + move_on("HEADLESS-2", 1, 1));
  seen.erase(seen.begin(), std::find(seen.begin(), seen.end(), "move 1280,200"));
  EXPECT_EQ(seen, (Seen{"move 1280,200", "move 2239,739"}));
}

// A compositor that reads nothing for a while (here: stopped) fills the
// agent's socket; the agent waits for it and loses nothing.
TEST_F(WaylandAgent, AFullSocketIsWaitedOnAndNothingIsLost) {
  start_agent();
  // This compositor drops a client that falls behind a flood of events, so
  // the recorder sits the flood out and comes back to see where it ended.
  stop_recorder();
  kill(sway_.pid(), SIGSTOP);
  // 36 bytes each for the compositor to read: more than its socket holds.
  std::string commands;
  for (int i = 0; i < 8000; ++i) commands += move((i % 100) / 100.0, 0.5);
  commands += move(0.25, 0.25);
  std::atomic<bool> sent = false;
  std::thread writer([&] {
    send(agent_, commands);
    sent = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(sent) << "the agent went on reading although the compositor read nothing";
  kill(sway_.pid(), SIGCONT);
  writer.join();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the compositor works through it
  start_recorder();
  EXPECT_EQ(until("move 320,200"), Seen{}) << "the pointer is where the last move put it";
  send(agent_, key("KeyZ", true) + key("KeyZ", false));
  EXPECT_EQ(until("key up z"), Seen{"key down z"});
}

// A stop request ends the agent's wait for a compositor that reads nothing
// (here: stopped, the socket full): the agent lets go of what it still can
// within a bounded time and ends as the signal says.
TEST_F(WaylandAgent, SigtermEndsTheWaitForACompositorThatReadsNothing) {
  start_agent();
  stop_recorder();
  kill(sway_.pid(), SIGSTOP);
  std::string commands;
  for (int i = 0; i < 8000; ++i) commands += move((i % 100) / 100.0, 0.5);
  signal(SIGPIPE, SIG_IGN);
  std::thread writer([&] {
    std::string_view left = commands;
    for (ssize_t written;
         !left.empty() && (written = write(agent_.input, left.data(), left.size())) > 0;) {
      left.remove_prefix(written);
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(still_running(agent_));
  kill(agent_.pid, SIGTERM);
  int status = wait_for_end(agent_);
  kill(sway_.pid(), SIGCONT);
  writer.join();
  EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  close_pipes(agent_);
  agent_ = Child();
}

// A compositor that goes away ends the agent by itself, at once, whether it
// is idle (Shift held, input open) or moves are arriving, with the status
// that says so and nothing written after READY.
TEST(WaylandAgentCompositorGone, EndsTheAgentByItselfWithTheStatusThatSaysSo) {
  for (bool streaming : {false, true}) {
    const char* name = streaming ? "while moves arrive" : "idle";
    Sway sway;
    ASSERT_TRUE(sway.running());
    std::vector<std::string> variables = sway.client_environment();
    variables.push_back("INPUT_AGENT_VERBOSE=1");
    Child agent = start_child(AGENT_PATH, {}, variables, kChoosing);
    ASSERT_EQ(read_line(agent.output), "READY\n") << name;
    Ending ending =
        kill_server_under(agent, sway.pid(), key("ShiftLeft", true),
                          streaming ? move(0.25, 0.5) + move(0.75, 0.5) : "", kSessionEndBound);
    EXPECT_TRUE(exited_with(ending.status, kSessionEnded)) << name << ": " << ending.status;
    EXPECT_EQ(ending.output, "") << name;
    EXPECT_EQ(ending.errors,
              "input-agent: backend wayland: a Wayland session whose compositor makes virtual "
              "devices\ninput-agent: the session ended: the Wayland compositor closed the "
              "connection\n")
        << name;
  }
}

// Which backend the agent takes: Wayland in a Wayland session, X11 there
// only when asked for, and nothing where nothing fits.
TEST_F(WaylandAgent, ChoosesItsBackendAtStart) {
  struct Case {
    const char* name;
    std::vector<std::string> variables;
    bool wayland;
  } cases[] = {
      {"forced", {"INPUT_AGENT_BACKEND=wayland"}, true},
      {"a Wayland session with an X display too", {"DISPLAY=:9999"}, true},
  };
  for (const Case& c : cases) {
    start_agent(c.variables, false);
    Seen keys;
    for (const std::string& line : observe(key("KeyW", true) + key("KeyW", false))) {
      if (line.starts_with("key")) keys.push_back(line);
    }
    EXPECT_EQ(keys, (Seen{"key down w", "key up w"})) << c.name;
    close_input(agent_);
    EXPECT_EQ(wait_for_exit(agent_), 0) << c.name;
    close_pipes(agent_);
    agent_ = Child();
  }
}

TEST(WaylandAgentWithoutCompositor, RequiresAccessibilityWhenNothingFits) {
  struct Case {
    const char* name;
    std::vector<std::string> variables;
  } cases[] = {
      {"no session at all", {}},
      {"a Wayland session whose compositor is not there", {"WAYLAND_DISPLAY=nowhere-0"}},
      {"Wayland forced, no compositor", {"INPUT_AGENT_BACKEND=wayland"}},
      {"X11 forced, no display", {"INPUT_AGENT_BACKEND=x11"}},
      {"an unknown backend forced", {"INPUT_AGENT_BACKEND=carrier-pigeon"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> variables = c.variables;
    variables.push_back("XDG_RUNTIME_DIR=/nonexistent");
    Child agent = start_child(AGENT_PATH, {}, variables, kChoosing);
    EXPECT_EQ(wait_for_exit(agent), 1) << c.name;
    EXPECT_EQ(read_rest(agent.output), "ACCESSIBILITY_REQUIRED\n") << c.name;
    EXPECT_EQ(read_rest(agent.errors), "") << c.name;
    close_pipes(agent);
  }
}

}  // namespace
