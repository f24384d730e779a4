// The agent run in this process on the stand-in platform, from its input
// bytes to the events it posts.
#include "app/agent.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/dispatch.h"
#include "app/framing.h"
#include "in_process.h"
#include "input/held.h"
#include "platform/standin.h"

namespace {

using Events = std::vector<std::string>;

struct Outcome {
  int status;
  std::string output;
  Events events;
};

Outcome run(std::string_view input, standin::Config config = {},
            std::vector<const char*> args = {"input-agent"}) {
  config.record = true;
  standin::configure(config);
  AgentRun run = run_in_process(input, args);
  return {run.status, run.output, standin::recorded()};
}

Events events_of(std::initializer_list<std::string_view> commands, standin::Config config = {}) {
  return run(lines(commands), config).events;
}

const char kShiftDown[] = R"({"type":"key","code":"ShiftLeft","down":true})";
const char kKeyADown[] = R"({"type":"key","code":"KeyA","down":true})";

}  // namespace

TEST(Agent, StartUpModes) {
  struct Case {
    const char* name;
    std::vector<const char*> args;
    bool trusted;
    const char* output;
    int status;
    bool handles_input;
  } cases[] = {
      {"self-test anywhere, trust not asked",
       {"agent", "a", "--self-test", "b"},
       false,
       "READY keys=83\n",
       0,
       false},
      {"untrusted", {"agent"}, false, "ACCESSIBILITY_REQUIRED\n", 1, false},
      {"untrusted with other arguments",
       {"agent", "--verbose"},
       false,
       "ACCESSIBILITY_REQUIRED\n",
       1,
       false},
      {"displays listed, trust not asked",
       {"agent", "--displays"},
       false,
       R"({"id":"main","x":0,"y":0,"width":1920,"height":1080,"scale":1,"main":true})"
       "\n",
       0,
       false},
      {"working", {"agent"}, true, "READY\n", 0, true},
      {"near-miss options are ignored",
       {"agent", "--self-test=1", "--SELF-TEST", "-self-test"},
       true,
       "READY\n",
       0,
       true},
  };
  for (const Case& c : cases) {
    standin::Config config;
    config.trusted = c.trusted;
    Outcome outcome = run(lines({kKeyADown}), config, c.args);
    EXPECT_EQ(outcome.output, c.output) << c.name;
    EXPECT_EQ(outcome.status, c.status) << c.name;
    EXPECT_EQ(outcome.events.empty(), !c.handles_input) << c.name;
  }
}

TEST(Agent, CommandsPostTheirEvents) {
  struct Case {
    const char* name;
    std::initializer_list<std::string_view> commands;
    Events expected;  // end of input releases what is still held
  } cases[] = {
      {"key down, released at end", {kKeyADown}, {"key 0 down 0x0", "key 0 up 0x0"}},
      {"shifted key",
       {kShiftDown, kKeyADown, R"({"type":"key","code":"ShiftLeft","down":false})",
        R"({"type":"key","code":"KeyA","down":false})"},
       {"key 56 down 0x20000", "key 0 down 0x20000", "key 56 up 0x0", "key 0 up 0x0"}},
      {"command c",
       {R"({"type":"key","code":"MetaLeft","down":true})",
        R"({"type":"key","code":"KeyC","down":true})"},
       {"key 55 down 0x100000", "key 8 down 0x100000", "key 8 up 0x100000", "key 55 up 0x0"}},
      {"every modifier, either side",
       {R"({"type":"key","code":"ControlRight","down":true})",
        R"({"type":"key","code":"AltLeft","down":true})",
        R"({"type":"key","code":"MetaRight","down":true})",
        R"({"type":"key","code":"ShiftRight","down":true})"},
       {"key 62 down 0x40000", "key 58 down 0xc0000", "key 54 down 0x1c0000",
        "key 60 down 0x1e0000", "key 54 up 0xe0000", "key 58 up 0x60000", "key 60 up 0x40000",
        "key 62 up 0x0"}},
      {"caps lock adds no flag",
       {R"({"type":"key","code":"CapsLock","down":true})", kKeyADown},
       {"key 57 down 0x0", "key 0 down 0x0", "key 0 up 0x0", "key 57 up 0x0"}},
      {"other shift still held",
       {kShiftDown, R"({"type":"key","code":"ShiftRight","down":true})",
        R"({"type":"key","code":"ShiftLeft","down":false})"},
       {"key 56 down 0x20000", "key 60 down 0x20000", "key 56 up 0x20000", "key 60 up 0x0"}},
      {"repeated down, no de-duplication",
       {kKeyADown, kKeyADown, R"({"type":"key","code":"KeyA","down":false})"},
       {"key 0 down 0x0", "key 0 down 0x0", "key 0 up 0x0"}},
      {"up for a key not held still posts",
       {R"({"type":"key","code":"KeyZ","down":false})"},
       {"key 6 up 0x0"}},
      {"moves at the corners and centre",
       {R"({"type":"move","x":0,"y":0})", R"({"type":"move","x":1,"y":1})",
        R"({"type":"move","x":0.5,"y":0.5})", R"({"type":"move","x":0.25,"y":1e-1})"},
       {"mouse 5 0 0 0 0x0", "mouse 5 1919 1079 0 0x0", "mouse 5 959.5 539.5 0 0x0",
        "mouse 5 479.75 107.9 0 0x0"}},
      {"left click and drag",
       {R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true})",
        R"({"type":"move","x":1,"y":0})",
        R"({"type":"button","x":1,"y":0,"button":0,"down":false})",
        R"({"type":"move","x":0,"y":0})"},
       {"mouse 1 959.5 539.5 0 0x0 1", "mouse 6 1919 0 0 0x0", "mouse 2 1919 0 0 0x0 1",
        "mouse 5 0 0 0 0x0"}},
      {"auxiliary button is the center button, released at end",
       {R"({"type":"button","x":0,"y":0,"button":1,"down":true})",
        R"({"type":"move","x":1,"y":1})"},
       {"mouse 25 0 0 2 0x0 1", "mouse 27 1919 1079 2 0x0", "mouse 26 1919 1079 2 0x0 1"}},
      {"secondary button is the right button",
       {R"({"type":"button","x":0,"y":0,"button":2,"down":true})", R"({"type":"move","x":1,"y":1})",
        R"({"type":"button","x":1,"y":1,"button":2,"down":false})"},
       {"mouse 3 0 0 1 0x0 1", "mouse 7 1919 1079 1 0x0", "mouse 4 1919 1079 1 0x0 1"}},
      {"left and right held: left drag naming the right button",
       {R"({"type":"button","x":0,"y":0,"button":0,"down":true})",
        R"({"type":"button","x":0,"y":0,"button":2,"down":true})",
        R"({"type":"move","x":1,"y":0})"},
       {"mouse 1 0 0 0 0x0 1", "mouse 3 0 0 1 0x0 1", "mouse 6 1919 0 1 0x0",
        "mouse 2 1919 0 0 0x0 1", "mouse 4 1919 0 1 0x0 1"}},
      {"auxiliary and right held: right drag",
       {R"({"type":"button","x":0,"y":0,"button":1,"down":true})",
        R"({"type":"button","x":0,"y":0,"button":2,"down":true})", R"({"type":"move","x":1,"y":0})",
        R"({"type":"release"})"},
       {"mouse 25 0 0 2 0x0 1", "mouse 3 0 0 1 0x0 1", "mouse 7 1919 0 1 0x0",
        "mouse 26 1919 0 2 0x0 1", "mouse 4 1919 0 1 0x0 1"}},
      {"release of a button not held still posts",
       {R"({"type":"button","x":0,"y":0,"button":0,"down":false})"},
       {"mouse 2 0 0 0 0x0 1"}},
      {"button without a usable button or down is a move",
       {R"({"type":"button","x":0.5,"y":0.5,"button":3,"down":true})",
        R"({"type":"button","x":0.5,"y":0.5,"button":-1,"down":true})",
        R"({"type":"button","x":0.5,"y":0.5,"button":0.5,"down":true})",
        R"({"type":"button","x":0.5,"y":0.5,"button":"0","down":true})",
        R"({"type":"button","x":0.5,"y":0.5,"button":true,"down":true})",
        R"({"type":"button","x":0.5,"y":0.5,"button":0})",
        R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":1})",
        R"({"type":"button","x":0.5,"y":0.5})"},
       Events(8, "mouse 5 959.5 539.5 0 0x0")},
      {"button move while dragging is a drag",
       {R"({"type":"button","x":0,"y":0,"button":0,"down":true})",
        R"({"type":"button","x":0.5,"y":0.5,"button":7,"down":false})"},
       {"mouse 1 0 0 0 0x0 1", "mouse 6 959.5 539.5 0 0x0", "mouse 2 959.5 539.5 0 0x0 1"}},
      {"modifiers reach pointer events, not the wheel",
       {kShiftDown, R"({"type":"button","x":0,"y":0,"button":0,"down":true})",
        R"({"type":"move","x":1,"y":1})", R"({"type":"wheel","delta":10})"},
       {"key 56 down 0x20000", "mouse 1 0 0 0 0x20000 1", "mouse 6 1919 1079 0 0x20000",
        "wheel -10", "key 56 up 0x0", "mouse 2 1919 1079 0 0x0 1"}},
      {"wheel values are the negated delta truncated toward zero",
       {R"({"type":"wheel","delta":100})", R"({"type":"wheel","delta":-1200})",
        R"({"type":"wheel","delta":1200})", R"({"type":"wheel","delta":120.9})",
        R"({"type":"wheel","delta":-3.5})", R"({"type":"wheel","delta":0.4})",
        R"({"type":"wheel","delta":-0})", R"({"type":"wheel","delta":1.2e3})"},
       {"wheel -100", "wheel 1200", "wheel -1200", "wheel -120", "wheel 3", "wheel 0", "wheel 0",
        "wheel -1200"}},
      {"text: each character once, whatever is held, which stays held; Return and Tab, "
       "no other control characters",
       {kShiftDown, R"({"type":"text","text":"Aé😀aa\n\t\r\u0001\u007f\u0080\u0085\u009f\u00a0€"})",
        kKeyADown},
       {"key 56 down 0x20000", "text 0x41", "text 0xe9", "text 0x1f600", "text 0x61", "text 0x61",
        "text 0xa", "text 0x9", "text 0xa0", "text 0x20ac", "key 0 down 0x20000",
        "key 0 up 0x20000", "key 56 up 0x0"}},
      {"deltaX is the second value, negated (positive scrolls left); both axes in one event",
       {R"({"type":"wheel","deltaX":100})", R"({"type":"wheel","delta":-50,"deltaX":-1200})",
        R"({"type":"wheel","delta":30,"deltaX":0})", R"({"type":"wheel","deltaX":-0.5})",
        R"({"type":"wheel","deltaX":7.9,"delta":0})"},
       {"wheel 0 -100", "wheel 50 1200", "wheel -30", "wheel 0", "wheel 0 -7"}},
      {"release lets go of keys, then buttons where the pointer is",
       {R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true})", kShiftDown, kKeyADown,
        R"({"type":"release"})", R"({"type":"move","x":0,"y":0})"},
       {"mouse 1 959.5 539.5 0 0x0 1", "key 56 down 0x20000", "key 0 down 0x20000",
        "key 0 up 0x20000", "key 56 up 0x0", "mouse 2 959.5 539.5 0 0x0 1", "mouse 5 0 0 0 0x0"}},
      {"release with nothing held posts nothing", {R"({"type":"release"})"}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(events_of(c.commands), c.expected) << c.name;
}

TEST(Agent, PositionsMapIntoTheMainDisplayWhereverItIs) {
  standin::Config config;
  config.display = {-1280, 200, 1281, 1025};
  EXPECT_EQ(events_of({R"({"type":"move","x":0,"y":0})", R"({"type":"move","x":1,"y":1})",
                       R"({"type":"move","x":0.5,"y":0.5})"},
                      config),
            (Events{"mouse 5 -1280 200 0 0x0", "mouse 5 0 1224 0 0x0", "mouse 5 -640 712 0 0x0"}));
}

// Fractions of a named display are of its rectangle, wherever it lies; the
// main display goes by its name too, and without one.
TEST(Agent, PositionsMapIntoTheDisplayTheCommandNames) {
  standin::Config config;
  config.display = {0, 0, 1921, 1081};
  config.other_displays = {{"LEFT", {-1281, -100, 1281, 801}, 2, false},
                           {"DP-2", {1921, 0, 801, 601}, 1.25, false}};
  EXPECT_EQ(
      events_of({R"({"type":"move","x":0,"y":0,"display":"LEFT"})",
                 R"({"type":"move","x":1,"y":0.5,"display":"LEFT"})",
                 R"({"type":"button","x":0.5,"y":1,"button":0,"down":true,"display":"DP-2"})",
                 R"({"type":"move","x":1,"y":1,"display":"main"})",
                 R"({"type":"move","x":1,"y":1,"display":"LEFT","display":"DP-2"})",
                 R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":false})"},
                config),
      (Events{"mouse 5 -1281 -100 0 0x0", "mouse 5 -1 300 0 0x0", "mouse 1 2321 600 0 0x0 1",
              "mouse 6 1920 1080 0 0x0", "mouse 6 2721 600 0 0x0", "mouse 2 960 540 0 0x0 1"}));
}

// A display gone since a button went down there does not keep the button
// down: its release comes up where the pointer is. Presses, moves and the
// release of a button not held are dropped when their display is gone.
TEST(Agent, AReleaseOnADisplayGoneStillLetsGo) {
  EXPECT_EQ(
      events_of({R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true})",
                 R"({"type":"move","x":0,"y":0,"display":"gone"})",
                 R"({"type":"button","x":0,"y":0,"button":2,"down":true,"display":"gone"})",
                 R"({"type":"button","x":0,"y":0,"button":2,"down":false,"display":"gone"})",
                 R"({"type":"button","x":0,"y":0,"button":0,"down":false,"display":"gone"})",
                 R"({"type":"button","x":2,"y":0,"button":0,"down":false,"display":"gone"})"}),
      (Events{"mouse 1 959.5 539.5 0 0x0 1", "mouse 2 959.5 539.5 0 0x0 1"}));
}

// Without x and y a move is relative motion, either axis alone counting the
// other as 0; with a button held it is a drag, with the modifiers held
// stamped; with x and y it stays absolute, movement or not.
TEST(Agent, MovementIsRelativeMotion) {
  EXPECT_EQ(
      events_of({R"({"type":"move","movementX":30,"movementY":-20})",
                 R"({"type":"move","movementX":-7.5})", R"({"type":"move","movementY":10000})",
                 kShiftDown, R"({"type":"button","x":0,"y":0,"button":0,"down":true})",
                 R"({"type":"move","movementX":-10000,"movementY":0.25})",
                 R"({"type":"move","x":1,"y":1,"movementX":5,"movementY":5})"}),
      (Events{"motion 5 30 -20 0 0x0", "motion 5 -7.5 0 0 0x0", "motion 5 0 10000 0 0x0",
              "key 56 down 0x20000", "mouse 1 0 0 0 0x20000 1", "motion 6 -10000 0.25 0 0x20000",
              "mouse 6 1919 1079 0 0x20000", "key 56 up 0x0", "mouse 2 1919 1079 0 0x0 1"}));
}

// A line that is dropped must leave no trace: the run with it posts exactly
// what the run without it posts. Shift is held around it, so a line wrongly
// taken for a release, a key or a pointer command shows up in the events.
TEST(Agent, BadLinesAreDroppedWithoutATrace) {
  std::string deep = std::string(5000, '[') + std::string(5000, ']');
  const std::string cases[] = {
      "",
      "   ",
      "[]",
      R"("release")",
      "null",
      "5",
      R"({"type":"Release"})",
      R"({"type":" release"})",
      R"({"Type":"release"})",
      R"({"type":5})",
      R"({"type":null})",
      R"({"type":["release"]})",
      R"({"type":"release")",
      R"({"type":"release"} x)",
      R"({"type":"release"}{"type":"release"})",
      R"({'type':'release'})",
      R"({type:"release"})",
      R"({"type":"release",})",
      std::string(R"({"type":"release"})") + '\0',
      std::string("{\"type\":\"rel\0ease\"}", 19),
      R"({"type":"release","x":"\ud800"})",
      R"({"type":"release","x":99999999999999999999999})",
      R"({"type":"release","x":1e400})",
      R"({"type":"release","x":)" + deep + "}",
      "{\"type\":\"release\xFF\"}",
      "\xEF\xBB\xBF{\"type\":\"release\"}",
      R"({"type":"key","code":"ShiftLeft","down":false} )" + std::string(1000, ' '),
      R"({"type":"key","code":"ShiftLeft","down":"false"})",
      R"({"type":"key","code":"ShiftLeft","down":0})",
      R"({"type":"key","code":"ShiftLeft"})",
      R"({"type":"key","code":"Numpad1","down":false})",
      R"({"type":"key","code":56,"down":false})",
      R"({"type":"key","code":"shiftleft","down":false})",
      R"({"type":"move","x":1.0001,"y":0.5})",
      R"({"type":"move","x":-0.1,"y":0.5})",
      R"({"type":"move","x":"0.5","y":0.5})",
      R"({"type":"move","x":0.5})",
      R"({"type":"move","x":null,"y":0.5})",
      R"({"type":"move","x":true,"y":0.5})",
      R"({"type":"move","x":[0.5],"y":0.5})",
      R"({"type":"button","x":2,"y":0.5,"button":0,"down":true})",
      R"({"type":"button","y":0.5,"button":0,"down":true})",
      R"({"type":"move","x":0.5,"y":0.5,"display":"elsewhere"})",
      R"({"type":"move","movementX":"5"})",
      R"({"type":"move","movementX":10000.5})",
      R"({"type":"move","movementY":-10001})",
      R"({"type":"move","movementX":5,"movementY":null})",
      R"({"type":"move","movementX":true})",
      R"({"type":"move","x":0.5,"movementX":5})",
      R"({"type":"move","movementx":5})",
      R"({"type":"move","x":0.5,"y":0.5,"display":"Main"})",
      R"({"type":"move","x":0.5,"y":0.5,"display":""})",
      R"({"type":"move","x":0.5,"y":0.5,"display":null})",
      R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true,"display":1})",
      R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true,"display":["main"]})",
      R"({"type":"wheel","delta":1200.5})",
      R"({"type":"wheel","delta":-1200.0001})",
      R"({"type":"wheel","delta":"100"})",
      R"({"type":"wheel","delta":true})",
      R"({"type":"wheel"})",
      R"({"type":"wheel","deltaX":1200.5})",
      R"({"type":"wheel","delta":100,"deltaX":-1201})",
      R"({"type":"wheel","delta":100,"deltaX":"50"})",
      R"({"type":"wheel","deltaX":100,"delta":null})",
      R"({"type":"wheel","deltax":100})",
      R"({"type":"text","text":5})",
      R"({"type":"text","text":["a"]})",
      R"({"type":"text"})",
      R"({"type":"text","text":"a\ud800b"})",
      "{\"type\":\"text\",\"text\":\"a\xff\"}",
      "{\"type\":\"text\",\"text\":\"\xe2\x82\"}",
  };
  Events without = events_of({kShiftDown, kKeyADown});
  for (const std::string& line : cases) {
    EXPECT_EQ(run(lines({kShiftDown, line, kKeyADown})).events, without) << line;
  }
}

// The bound counts characters (code points): a combining mark is one, though
// it makes no character of its own on screen, nor in the line's count.
TEST(Agent, TextOfAtMostAThousandCharactersIsTyped) {
  auto text_of = [](int marked) {
    std::string text;
    for (int i = 0; i < marked; ++i) text += "e\u0301";
    return R"({"type":"text","text":")" + text + R"("})";
  };
  Events thousand;
  for (int i = 0; i < 500; ++i) {
    thousand.push_back("text 0x65");
    thousand.push_back("text 0x301");
  }
  EXPECT_EQ(run(lines({text_of(500)})).events, thousand);
  EXPECT_EQ(run(lines({text_of(501), kKeyADown})).events, events_of({kKeyADown}));
}

// Each variant must act exactly like its plain form, which itself must act.
TEST(Agent, VariantsActLikeThePlainCommand) {
  std::string release = R"({"type":"release"})";
  std::string padded_release = release + std::string(1000 - release.size(), ' ');
  struct Case {
    std::string variant;
    std::string plain;
  } cases[] = {
      {R"({"type":"release","extra":[1,2]})", release},
      {R"(  { "type" : "release" }  )", release},
      {padded_release, release},
      {"{\"type\":\"release\",\"x\":\"\xFF\"}", release},
      {"{\"type\":\"release\",\"x\":\"\xE2\x82\"}", release},
      {R"({"type":"release","x":"\ud83d\ude00"})", release},
      {release + "\r", release},                        // the CR of a CRLF ending
      {R"({"type":"key","type":"release"})", release},  // the last of a repeated name counts
      {R"({"type":"key","code":"ShiftRight","code":"KeyB","down":false,"down":true})",
       R"({"type":"key","code":"KeyB","down":true})"},
      {R"({"type":"button","x":0.5,"y":0.5,"button":1.0,"down":true})",
       R"({"type":"button","x":0.5,"y":0.5,"button":1,"down":true})"},
      {R"({"type":"button","x":0.5,"y":0.5,"button":1e0,"down":true})",
       R"({"type":"button","x":0.5,"y":0.5,"button":1,"down":true})"},
      {R"({"type":"button","x":0.5,"y":0.5,"button":-0,"down":true})",
       R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true})"},
      {R"({"type":"move","x":1.0,"y":-0})", R"({"type":"move","x":1,"y":0})"},
      {R"({"type":"move","x":1,"y":0,"down":true,"button":0})", R"({"type":"move","x":1,"y":0})"},
  };
  Events without = events_of({kShiftDown, kKeyADown});
  for (const Case& c : cases) {
    Events plain = run(lines({kShiftDown, c.plain, kKeyADown})).events;
    EXPECT_NE(plain, without) << c.plain;
    EXPECT_EQ(run(lines({kShiftDown, c.variant, kKeyADown})).events, plain) << c.variant;
  }
}

TEST(Agent, PaddingPastTheLimitDropsTheLine) {
  std::string release = R"({"type":"release"})";
  std::string padded = release + std::string(1001 - release.size(), ' ');
  EXPECT_EQ(run(lines({kShiftDown, padded, kKeyADown})).events, events_of({kShiftDown, kKeyADown}));
}

TEST(Agent, LastLineWithoutLineFeedIsHandledBeforeTheFinalRelease) {
  Outcome outcome = run(std::string(kShiftDown) + "\n" + kKeyADown);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.events, (Events{"key 56 down 0x20000", "key 0 down 0x20000", "key 0 up 0x20000",
                                    "key 56 up 0x0"}));
}

// A session that ends under the agent ends its input: the lines after the
// command that found it gone are not handled, what is held is let go of as
// far as the system still takes it, and the status says why it ended, also
// when that was the last line, without a line feed.
TEST(Agent, ASessionThatEndsEndsTheAgentWithItsOwnStatus) {
  const char kKeyBDown[] = R"({"type":"key","code":"KeyB","down":true})";
  standin::Config one_command;
  one_command.session_commands = 1;
  for (std::string input :
       {lines({kShiftDown, kKeyADown, kKeyBDown}), std::string(kShiftDown) + "\n" + kKeyADown}) {
    Outcome outcome = run(input, one_command);
    EXPECT_EQ(outcome.status, kSessionEnded);
    EXPECT_EQ(outcome.output, "READY\n");
    EXPECT_EQ(outcome.events, (Events{"key 56 down 0x20000", "key 0 down 0x20000",
                                      "key 0 up 0x20000", "key 56 up 0x0"}));
  }
  standin::Config lasting;
  lasting.session_commands = 3;
  EXPECT_EQ(run(lines({kShiftDown, kKeyADown}), lasting).status, kEndOfInput);
}

// A terminal whose other side has closed fails reads with EIO once the data
// it holds has been read.
TEST(Agent, AReadErrorEndsInputLikeEndOfFile) {
  int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  int other_side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
  ASSERT_GE(other_side, 0);
  termios raw;
  tcgetattr(other_side, &raw);
  cfmakeraw(&raw);
  tcsetattr(other_side, TCSANOW, &raw);
  std::string input = lines({kShiftDown, kKeyADown});
  ASSERT_EQ(write(other_side, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(other_side);

  standin::Config config;
  config.record = true;
  standin::configure(config);
  FILE* out = tmpfile();
  const char* args[] = {"input-agent"};
  EXPECT_EQ(run_agent(1, args, terminal, out), 0);
  EXPECT_EQ(read_all(out), "READY\n");
  EXPECT_EQ(standin::recorded(), (Events{"key 56 down 0x20000", "key 0 down 0x20000",
                                         "key 0 up 0x20000", "key 56 up 0x0"}));
  fclose(out);
  close(terminal);
}

TEST(Agent, EventsThePlatformCannotCreateAreSkippedButStateStillChanges) {
  standin::Config no_keys;
  no_keys.fail_key = true;
  EXPECT_EQ(events_of({kShiftDown, R"({"type":"move","x":0,"y":0})"}, no_keys),
            Events{"mouse 5 0 0 0 0x20000"});

  standin::Config no_mouse;
  no_mouse.fail_mouse = true;
  EXPECT_EQ(events_of({R"({"type":"button","x":0,"y":0,"button":0,"down":true})", kKeyADown,
                       R"({"type":"wheel","delta":1})"},
                      no_mouse),
            (Events{"key 0 down 0x0", "wheel -1", "key 0 up 0x0"}));

  standin::Config no_cursor;
  no_cursor.fail_cursor = true;
  EXPECT_EQ(events_of({R"({"type":"button","x":0.5,"y":0.5,"button":2,"down":true})"}, no_cursor),
            (Events{"mouse 3 959.5 539.5 1 0x0 1", "mouse 4 0 0 1 0x0 1"}));

  standin::Config no_wheel;
  no_wheel.fail_wheel = true;
  EXPECT_EQ(events_of({R"({"type":"wheel","delta":1})", kKeyADown}, no_wheel),
            (Events{"key 0 down 0x0", "key 0 up 0x0"}));
}

TEST(Agent, ButtonsAreRecordedEvenWhenTheirEventFails) {
  standin::Config no_mouse;
  no_mouse.record = true;
  no_mouse.fail_mouse = true;
  standin::configure(no_mouse);
  std::string line = R"({"type":"button","x":0,"y":0,"button":1,"down":true})";
  line.reserve(line.size() + 64);
  dispatch_line(line);
  EXPECT_EQ(buttons.to_ulong(), 0b010u);
  line = R"({"type":"release"})";
  dispatch_line(line);
  EXPECT_TRUE(buttons.none());
}

// Presses of one button close together in time and place count up, as a
// Mac counts them for a real mouse; the count goes on the press, its release
// and the drags it starts.
TEST(Agent, ClickCountsFollowTimeAndPlace) {
  using namespace std::chrono_literals;
  struct Step {
    double x;
    int button;
    std::chrono::milliseconds pause_before = 0ms;
  };
  struct Case {
    const char* name;
    std::vector<Step> presses;    // each pressed and released
    std::vector<int64_t> counts;  // on each press (its release carries the same)
  } cases[] = {
      {"double click", {{0.5, 0}, {0.5, 0}}, {1, 2}},
      {"triple click", {{0.5, 0}, {0.5, 0}, {0.5, 0}}, {1, 2, 3}},
      {"double right click", {{0.5, 2}, {0.5, 2}}, {1, 2}},
      {"slow second click", {{0.5, 0}, {0.5, 0, 150ms}}, {1, 1}},
      {"second click a few pixels off", {{0.5, 0}, {0.501, 0}}, {1, 2}},
      {"second click moved away", {{0.5, 0}, {0.51, 0}}, {1, 1}},
      {"another button between", {{0.5, 0}, {0.5, 2}, {0.5, 0}}, {1, 1, 1}},
  };
  auto button_line = [](double x, int button, bool down) {
    std::string line = R"({"type":"button","x":)" + std::to_string(x) + R"(,"y":0.5,"button":)" +
                       std::to_string(button) + R"(,"down":)" + (down ? "true" : "false") + "}";
    line.reserve(line.size() + kLinePadding);
    return line;
  };
  std::string release = R"({"type":"release"})";
  release.reserve(release.size() + kLinePadding);
  for (const Case& c : cases) {
    standin::Config config;
    config.record = true;
    config.double_click = 100ms;
    standin::configure(config);
    for (const Step& step : c.presses) {
      std::this_thread::sleep_for(step.pause_before);
      dispatch_line(button_line(step.x, step.button, true));
      dispatch_line(button_line(step.x, step.button, false));
    }
    std::vector<int64_t> counts;
    const std::vector<standin::Event>& events = standin::events();
    for (size_t i = 0; i + 1 < events.size(); i += 2) {
      EXPECT_EQ(events[i].clicks, events[i + 1].clicks) << c.name << ": release " << i / 2;
      counts.push_back(events[i].clicks);
    }
    EXPECT_EQ(counts, c.counts) << c.name;
    dispatch_line(release);
  }

  // A double click held and dragged: the drag carries 2; after a release of
  // everything, counting starts again.
  standin::Config config;
  config.record = true;
  standin::configure(config);
  for (const char* line : {R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true})",
                           R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":false})",
                           R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true})",
                           R"({"type":"move","x":0.6,"y":0.5})", R"({"type":"release"})",
                           R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true})"}) {
    std::string padded = line;
    padded.reserve(padded.size() + kLinePadding);
    dispatch_line(padded);
  }
  std::vector<int64_t> counts;
  for (const standin::Event& event : standin::events()) counts.push_back(event.clicks);
  EXPECT_EQ(counts, (std::vector<int64_t>{1, 1, 2, 2, 2, 1}));
  dispatch_line(release);
}
