// The macOS backend (platform/macos.cc) with the real agent, on the
// recording CoreGraphics: what a Mac would be handed for each command, and
// that every event is made, posted and let go of as the API wants.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/dispatch.h"
#include "app/framing.h"
#include "in_process.h"
#include "platform/platform.h"
#include "recording.h"

namespace {

using Lines = std::vector<std::string>;

const char kShiftDown[] = R"({"type":"key","code":"ShiftLeft","down":true})";
const char kKeyADown[] = R"({"type":"key","code":"KeyA","down":true})";

// Every event made was posted once, at the HID tap (the empty one that reads
// the cursor: never), and released once; nothing else was misused.
void expect_each_event_handled_once(const std::string& name) {
  for (const recording::Event& event : recording::events()) {
    size_t posts = event.kind == "null" ? 0 : 1;
    EXPECT_EQ(event.posts, std::vector<CGEventTapLocation>(posts, kCGHIDEventTap))
        << name << ": a " << event.kind << " event";
    EXPECT_EQ(event.releases, 1) << name << ": a " << event.kind << " event";
  }
  EXPECT_EQ(recording::unreleased(), 0) << name;
  EXPECT_EQ(recording::errors(), Lines{}) << name;
}

Lines posted_by(std::initializer_list<std::string_view> commands,
                const recording::Answers& answers = {}) {
  recording::reset(answers);
  AgentRun run = run_in_process(lines(commands));
  EXPECT_EQ(run.output, "READY\n");
  EXPECT_EQ(run.status, 0);
  return recording::posted();
}

TEST(MacOSBackend, CommandsBecomeTheirEvents) {
  recording::Answers display_left_of_main;
  display_left_of_main.displays.front().bounds = {{-1280, 200}, {1281, 1025}};
  recording::Answers cursor_elsewhere;
  cursor_elsewhere.cursor = {100, 250};
  recording::Answers caps_lock;
  caps_lock.caps_lock = true;
  struct Case {
    const char* name;
    std::initializer_list<std::string_view> commands;
    Lines expected;  // end of input releases what is still held
    recording::Answers answers = {};
  } cases[] = {
      {"keys at their codes, with the held modifiers' flags",
       {kShiftDown, kKeyADown, R"({"type":"key","code":"KeyA","down":false})",
        R"({"type":"key","code":"ShiftLeft","down":false})"},
       {"key 56 down flags=0x20000", "key 0 down flags=0x20000", "key 0 up flags=0x20000",
        "key 56 up flags=0x0"}},
      {"Command and Option, then C",
       {R"({"type":"key","code":"MetaLeft","down":true})",
        R"({"type":"key","code":"AltRight","down":true})",
        R"({"type":"key","code":"KeyC","down":true})"},
       {"key 55 down flags=0x100000", "key 61 down flags=0x180000", "key 8 down flags=0x180000",
        "key 8 up flags=0x180000", "key 55 up flags=0x80000", "key 61 up flags=0x0"}},
      {"with Caps Lock locked: its flag on key events, not on clicks or text",
       {kShiftDown, kKeyADown, R"({"type":"key","code":"CapsLock","down":true})",
        R"({"type":"button","x":0,"y":0,"button":0,"down":true})", R"({"type":"text","text":"b"})"},
       {"key 56 down flags=0x30000", "key 0 down flags=0x30000", "key 57 down flags=0x30000",
        "mouse 1 at 0,0 button 0 clicks 1 flags=0x20000", "key 66 down text=U+0062 flags=0x0",
        "key 66 up text=U+0062 flags=0x0", "key 0 up flags=0x30000", "key 56 up flags=0x10000",
        "key 57 up flags=0x10000", "mouse 2 at 0,0 button 0 clicks 1 flags=0x0"},
       caps_lock},
      {"each button's types and own button number, with flags and click state",
       {kShiftDown, R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true})",
        R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":false})",
        R"({"type":"button","x":0,"y":1,"button":2,"down":true})",
        R"({"type":"button","x":0,"y":1,"button":2,"down":false})",
        R"({"type":"button","x":1,"y":0,"button":1,"down":true})",
        R"({"type":"button","x":1,"y":0,"button":1,"down":false})"},
       {"key 56 down flags=0x20000", "mouse 1 at 959.5,539.5 button 0 clicks 1 flags=0x20000",
        "mouse 2 at 959.5,539.5 button 0 clicks 1 flags=0x20000",
        "mouse 3 at 0,1079 button 1 clicks 1 flags=0x20000",
        "mouse 4 at 0,1079 button 1 clicks 1 flags=0x20000",
        "mouse 25 at 1919,0 button 2 clicks 1 flags=0x20000",
        "mouse 26 at 1919,0 button 2 clicks 1 flags=0x20000", "key 56 up flags=0x0"}},
      {"a move, and the dragged type of each button",
       {R"({"type":"move","x":0.25,"y":0.25})",
        R"({"type":"button","x":0,"y":0,"button":0,"down":true})", R"({"type":"move","x":1,"y":1})",
        R"({"type":"button","x":1,"y":1,"button":0,"down":false})",
        R"({"type":"button","x":0,"y":0,"button":2,"down":true})", R"({"type":"move","x":1,"y":1})",
        R"({"type":"button","x":1,"y":1,"button":2,"down":false})",
        R"({"type":"button","x":0,"y":0,"button":1,"down":true})", R"({"type":"move","x":1,"y":1})",
        R"({"type":"button","x":1,"y":1,"button":1,"down":false})"},
       {"mouse 5 at 479.75,269.75 button 0 clicks 0 flags=0x0",
        "mouse 1 at 0,0 button 0 clicks 1 flags=0x0",
        "mouse 6 at 1919,1079 button 0 clicks 1 flags=0x0",
        "mouse 2 at 1919,1079 button 0 clicks 1 flags=0x0",
        "mouse 3 at 0,0 button 1 clicks 1 flags=0x0",
        "mouse 7 at 1919,1079 button 1 clicks 1 flags=0x0",
        "mouse 4 at 1919,1079 button 1 clicks 1 flags=0x0",
        "mouse 25 at 0,0 button 2 clicks 1 flags=0x0",
        "mouse 27 at 1919,1079 button 2 clicks 1 flags=0x0",
        "mouse 26 at 1919,1079 button 2 clicks 1 flags=0x0"}},
      {"fractions of a main display whose origin is not 0,0",
       {R"({"type":"move","x":0,"y":0})", R"({"type":"move","x":1,"y":1})",
        R"({"type":"move","x":0.5,"y":0.5})"},
       {"mouse 5 at -1280,200 button 0 clicks 0 flags=0x0",
        "mouse 5 at 0,1224 button 0 clicks 0 flags=0x0",
        "mouse 5 at -640,712 button 0 clicks 0 flags=0x0"},
       display_left_of_main},
      {"the wheel: pixels, one wheel, the delta negated, the event's own flags",
       {kShiftDown, R"({"type":"wheel","delta":100})", R"({"type":"wheel","delta":-1200})",
        R"({"type":"wheel","delta":-3.5})", R"({"type":"wheel","delta":0.4})"},
       {"key 56 down flags=0x20000", "scroll pixel 1 wheels -100,0,0 flags=0x100",
        "scroll pixel 1 wheels 1200,0,0 flags=0x100", "scroll pixel 1 wheels 3,0,0 flags=0x100",
        "scroll pixel 1 wheels 0,0,0 flags=0x100", "key 56 up flags=0x0"}},
      {"text: each character a key down and up of a key no keyboard has, with its string and "
       "no flags; a surrogate pair; Return and Tab as their keys",
       {kShiftDown, R"({"type":"text","text":"aé😀\n\t"})"},
       {"key 56 down flags=0x20000", "key 66 down text=U+0061 flags=0x0",
        "key 66 up text=U+0061 flags=0x0", "key 66 down text=U+00E9 flags=0x0",
        "key 66 up text=U+00E9 flags=0x0", "key 66 down text=U+D83D,U+DE00 flags=0x0",
        "key 66 up text=U+D83D,U+DE00 flags=0x0", "key 36 down text=U+000D flags=0x0",
        "key 36 up text=U+000D flags=0x0", "key 48 down text=U+0009 flags=0x0",
        "key 48 up text=U+0009 flags=0x0", "key 56 up flags=0x0"}},
      {"sideways: wheel 2, positive left, in the same event as wheel 1",
       {R"({"type":"wheel","deltaX":100})", R"({"type":"wheel","delta":-50,"deltaX":-30})"},
       {"scroll pixel 2 wheels 0,-100,0 flags=0x100", "scroll pixel 2 wheels 50,30,0 flags=0x100"}},
      {"release: keys first, then buttons where the cursor is",
       {R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true})", kShiftDown, kKeyADown,
        R"({"type":"release"})"},
       {"mouse 1 at 959.5,539.5 button 0 clicks 1 flags=0x0", "key 56 down flags=0x20000",
        "key 0 down flags=0x20000", "key 0 up flags=0x20000", "key 56 up flags=0x0",
        "mouse 2 at 100,250 button 0 clicks 1 flags=0x0"},
       cursor_elsewhere},
      {"a double click, held and dragged",
       {R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true})",
        R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":false})",
        R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true})",
        R"({"type":"move","x":0.75,"y":0.5})"},
       {"mouse 1 at 959.5,539.5 button 0 clicks 1 flags=0x0",
        "mouse 2 at 959.5,539.5 button 0 clicks 1 flags=0x0",
        "mouse 1 at 959.5,539.5 button 0 clicks 2 flags=0x0",
        "mouse 6 at 1439.25,539.5 button 0 clicks 2 flags=0x0",
        "mouse 2 at 100,250 button 0 clicks 2 flags=0x0"},
       cursor_elsewhere},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(posted_by(c.commands, c.answers), c.expected) << c.name;
    expect_each_event_handled_once(c.name);
  }
}

std::string movement(int dx, int dy) {
  return R"({"type":"move","movementX":)" + std::to_string(dx) + R"(,"movementY":)" +
         std::to_string(dy) + "}";
}

// Relative motion: a mouse event at the cursor's new place (the cursor
// follows each event posted, as the window server moves it) with the motion
// in its delta fields, whole and unclamped. Past an edge where no display
// lies the location stops on the display's last point; where another display
// lies, it goes on there. The main display is 1920 x 1080 at 0,0; the second
// 1280 x 1024 at -1280,-200, left of it down to y 823.
TEST(MacOSBackend, RelativeMotionCarriesItsDeltas) {
  auto at = [](double x, double y) {
    recording::Answers answers;
    answers.cursor = {x, y};
    answers.cursor_follows = true;
    return answers;
  };
  auto moved = [](const char* at, const char* delta, const char* rest = " button 0 clicks 0") {
    return std::string("mouse 5 at ") + at + " delta " + delta + rest + " flags=0x0";
  };
  // Twenty moves of -100 from x 960, one line each.
  auto twenty_left = [&](double stop, const char* y) {
    Lines lines;
    for (int i = 1; i <= 20; ++i) {
      std::string x = std::to_string(static_cast<int>(std::max(960.0 - 100 * i, stop)));
      lines.push_back(moved((x + "," + y).c_str(), "-100,0"));
    }
    return lines;
  };
  std::vector<std::string> twenty(20, movement(-100, 0));
  struct Case {
    const char* name;
    std::vector<std::string> commands;
    Lines expected;  // end of input releases what is still held
    recording::Answers answers = {};
  } cases[] = {
      {"one move", {movement(30, -20)}, {moved("990,520", "30,-20")}, at(960, 540)},
      {"each axis alone",
       {R"({"type":"move","movementX":15})", R"({"type":"move","movementY":-5})"},
       {moved("975,540", "15,0"), moved("975,535", "0,-5")},
       at(960, 540)},
      {"twenty moves of -100 below the second display: every delta, the main display's left "
       "edge",
       twenty, twenty_left(0, "900"), at(960, 900)},
      {"twenty moves of -100 beside it: onto it, then its left edge", twenty,
       twenty_left(-1280, "540"), at(960, 540)},
      {"past the main display's bottom right corner: its last point",
       {movement(50, 50)},
       {moved("1919,1079", "50,50")},
       at(1900, 1070)},
      {"four moves of half a point: two",
       {R"({"type":"move","movementX":0.5})", R"({"type":"move","movementX":0.5})",
        R"({"type":"move","movementX":0.5})", R"({"type":"move","movementX":0.5})"},
       {moved("961,540", "1,0"), moved("962,540", "1,0")},
       at(960, 540)},
      {"a drag with the left button held, after a double click",
       {R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true})",
        R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":false})",
        R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true})", movement(10, -4)},
       {"mouse 1 at 959.5,539.5 button 0 clicks 1 flags=0x0",
        "mouse 2 at 959.5,539.5 button 0 clicks 1 flags=0x0",
        "mouse 1 at 959.5,539.5 button 0 clicks 2 flags=0x0",
        "mouse 6 at 969.5,535.5 delta 10,-4 button 0 clicks 2 flags=0x0",
        "mouse 2 at 969.5,535.5 button 0 clicks 2 flags=0x0"},
       at(0, 0)},
      {"a drag with the middle button held",
       {R"({"type":"button","x":0.5,"y":0.5,"button":1,"down":true})", movement(-3, 0)},
       {"mouse 25 at 959.5,539.5 button 2 clicks 1 flags=0x0",
        "mouse 27 at 956.5,539.5 delta -3,0 button 2 clicks 1 flags=0x0",
        "mouse 26 at 956.5,539.5 button 2 clicks 1 flags=0x0"},
       at(0, 0)},
      {"the held modifiers' flags",
       {kShiftDown, R"({"type":"key","code":"MetaLeft","down":true})", movement(1, 1)},
       {"key 56 down flags=0x20000", "key 55 down flags=0x120000",
        "mouse 5 at 961,541 delta 1,1 button 0 clicks 0 flags=0x120000", "key 55 up flags=0x20000",
        "key 56 up flags=0x0"},
       at(960, 540)},
      {"a string or a value out of range: nothing",
       {R"({"type":"move","movementX":"5"})", R"({"type":"move","movementX":10001})",
        R"({"type":"move","movementY":-10001,"movementX":5})",
        R"({"type":"move","movementX":null})"},
       {},
       at(960, 540)},
      {"an absolute move afterwards lands exactly",
       {movement(7, 7), R"({"type":"move","x":0.25,"y":0.25})"},
       {moved("967,547", "7,7"), "mouse 5 at 479.75,269.75 button 0 clicks 0 flags=0x0"},
       at(960, 540)},
  };
  for (const Case& c : cases) {
    std::string input;
    for (const std::string& command : c.commands) input += command + "\n";
    recording::reset(c.answers);
    AgentRun run = run_in_process(input);
    EXPECT_EQ(run.output, "READY\n") << c.name;
    EXPECT_EQ(recording::posted(), c.expected) << c.name;
    expect_each_event_handled_once(c.name);
  }
}

// `--displays`: each display connected, in points, the main one first and
// the others from left to right; asked before, and without, the trust.
TEST(MacOSBackend, ListsTheDisplaysConnected) {
  const recording::Display right_of_main{
      188941, {{1920, 0}, {1440, 900}}, 2880, "0B7F5C5E-9D3A-4F0C-8E55-3C2D7A9E6B14"};
  recording::Answers listed_out_of_order;
  listed_out_of_order.displays = {recording::kMainDisplay, right_of_main,
                                  recording::kSecondDisplay};
  recording::Answers no_mode_or_uuid;
  no_mode_or_uuid.failing = {"mode", "uuid"};
  struct Case {
    const char* name;
    recording::Answers answers;
    const char* output;
  } cases[] = {
      {"a Retina main display and one left of and above it",
       {},
       R"({"id":"37D8832A-2D66-02CA-B9F7-8F30A301B230","x":0,"y":0,"width":1920,"height":1080,"scale":2,"main":true}
{"id":"E5C9C1C4-4A2E-4B34-8D13-0D6C7F1B2A11","x":-1280,"y":-200,"width":1280,"height":1024,"scale":1,"main":false}
)"},
      {"listed main, right, left: put main, left, right", listed_out_of_order,
       R"({"id":"37D8832A-2D66-02CA-B9F7-8F30A301B230","x":0,"y":0,"width":1920,"height":1080,"scale":2,"main":true}
{"id":"E5C9C1C4-4A2E-4B34-8D13-0D6C7F1B2A11","x":-1280,"y":-200,"width":1280,"height":1024,"scale":1,"main":false}
{"id":"0B7F5C5E-9D3A-4F0C-8E55-3C2D7A9E6B14","x":1920,"y":0,"width":1440,"height":900,"scale":2,"main":false}
)"},
      {"no mode or UUID made: scale 1, the display's number as its id", no_mode_or_uuid,
       R"({"id":"69733382","x":0,"y":0,"width":1920,"height":1080,"scale":1,"main":true}
{"id":"724183362","x":-1280,"y":-200,"width":1280,"height":1024,"scale":1,"main":false}
)"},
  };
  for (const Case& c : cases) {
    recording::Answers answers = c.answers;
    answers.trusted = false;
    recording::reset(answers);
    AgentRun run = run_in_process(lines({kKeyADown}), {"input-agent", "--displays"});
    EXPECT_EQ(run.output, c.output) << c.name;
    EXPECT_EQ(run.status, 0) << c.name;
    EXPECT_EQ(recording::trust_asked(), 0) << c.name;
    EXPECT_TRUE(recording::events().empty()) << c.name;
    EXPECT_EQ(recording::unreleased(), 0) << c.name;
    EXPECT_EQ(recording::errors(), Lines{}) << c.name;
  }
}

// A move or button naming a display lands on it: fractions 0, 0.5 and 1 on
// its first, middle and last point, in the global space where it lies left
// of and above the main display. Naming none means the main display; a
// display not connected drops the command.
TEST(MacOSBackend, CommandsNameADisplay) {
  const std::string second = recording::kSecondDisplay.uuid;
  auto on = [](const std::string& display, const char* rest) {
    return R"({"display":")" + display + R"(",)" + rest;
  };
  struct Case {
    const char* name;
    std::vector<std::string> commands;
    Lines expected;
  } cases[] = {
      {"moves at 0, 0.5 and 1 of the second display",
       {on(second, R"("type":"move","x":0,"y":0})"),
        on(second, R"("type":"move","x":0.5,"y":0.5})"),
        on(second, R"("type":"move","x":1,"y":1})")},
       {"mouse 5 at -1280,-200 button 0 clicks 0 flags=0x0",
        "mouse 5 at -640.5,311.5 button 0 clicks 0 flags=0x0",
        "mouse 5 at -1,823 button 0 clicks 0 flags=0x0"}},
      {"clicks at 0, 0.5 and 1 of the second display",
       {on(second, R"("type":"button","x":0,"y":0,"button":0,"down":true})"),
        on(second, R"("type":"button","x":0,"y":0,"button":0,"down":false})"),
        on(second, R"("type":"button","x":0.5,"y":0.5,"button":2,"down":true})"),
        on(second, R"("type":"button","x":0.5,"y":0.5,"button":2,"down":false})"),
        on(second, R"("type":"button","x":1,"y":1,"button":1,"down":true})"),
        on(second, R"("type":"button","x":1,"y":1,"button":1,"down":false})")},
       {"mouse 1 at -1280,-200 button 0 clicks 1 flags=0x0",
        "mouse 2 at -1280,-200 button 0 clicks 1 flags=0x0",
        "mouse 3 at -640.5,311.5 button 1 clicks 1 flags=0x0",
        "mouse 4 at -640.5,311.5 button 1 clicks 1 flags=0x0",
        "mouse 25 at -1,823 button 2 clicks 1 flags=0x0",
        "mouse 26 at -1,823 button 2 clicks 1 flags=0x0"}},
      {"the main display by its id, and by naming none",
       {on(recording::kMainDisplay.uuid, R"("type":"move","x":1,"y":1})"),
        R"({"type":"button","x":1,"y":1,"button":0,"down":true})",
        R"({"type":"button","x":1,"y":1,"button":0,"down":false})"},
       {"mouse 5 at 1919,1079 button 0 clicks 0 flags=0x0",
        "mouse 1 at 1919,1079 button 0 clicks 1 flags=0x0",
        "mouse 2 at 1919,1079 button 0 clicks 1 flags=0x0"}},
      {"a display not connected: dropped",
       {on("724183362", R"("type":"move","x":0,"y":0})"),
        on(second + "0", R"("type":"button","x":0,"y":0,"button":0,"down":true})"),
        on(second, R"("type":"move","x":1,"y":0})")},
       {"mouse 5 at -1,-200 button 0 clicks 0 flags=0x0"}},
  };
  for (const Case& c : cases) {
    std::string input;
    for (const std::string& command : c.commands) input += command + "\n";
    recording::reset({});
    AgentRun run = run_in_process(input);
    EXPECT_EQ(run.output, "READY\n") << c.name;
    EXPECT_EQ(recording::posted(), c.expected) << c.name;
    expect_each_event_handled_once(c.name);
  }
}

TEST(MacOSBackend, StartUpModes) {
  struct Case {
    const char* name;
    std::vector<const char*> args;
    bool trusted;
    const char* output;
    int status;
    int trust_asked;
  } cases[] = {
      {"not trusted", {"input-agent"}, false, "ACCESSIBILITY_REQUIRED\n", 1, 1},
      {"self-test, trust not asked",
       {"input-agent", "--self-test"},
       false,
       "READY keys=83\n",
       0,
       0},
  };
  for (const Case& c : cases) {
    recording::Answers answers;
    answers.trusted = c.trusted;
    recording::reset(answers);
    AgentRun run = run_in_process(lines({kKeyADown}), c.args);
    EXPECT_EQ(run.output, c.output) << c.name;
    EXPECT_EQ(run.status, c.status) << c.name;
    EXPECT_EQ(recording::trust_asked(), c.trust_asked) << c.name;
    EXPECT_TRUE(recording::events().empty()) << c.name;
  }
}

// The window server drops the events of a process no longer trusted without
// a word; the agent's watch notices the person taking the trust back within
// a quarter of a second, and ends the session. Told to quit, it ends without
// a word.
TEST(MacOSBackend, TheSessionEndsWhenTheTrustIsTakenBack) {
  using namespace std::chrono_literals;
  recording::reset({});
  int quit[2];
  ASSERT_EQ(pipe(quit), 0);
  auto watching =
      std::async(std::launch::async, [&] { return platform::await_session_end(quit[0]); });
  EXPECT_EQ(watching.wait_for(300ms), std::future_status::timeout);
  recording::take_trust_back();
  ASSERT_EQ(watching.wait_for(2s), std::future_status::ready);
  EXPECT_STREQ(watching.get(), "Accessibility access was taken back");

  recording::reset({});
  auto quitting =
      std::async(std::launch::async, [&] { return platform::await_session_end(quit[0]); });
  close(quit[1]);
  ASSERT_EQ(quitting.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(quitting.get(), nullptr);
  EXPECT_GE(recording::trust_asked(), 1);
  close(quit[0]);
}

TEST(MacOSBackend, EventsTheSystemCannotMakeAreSkipped) {
  struct Case {
    const char* name;
    std::vector<std::string> failing;
    std::initializer_list<std::string_view> commands;
    Lines expected;
  } cases[] = {
      {"no keyboard events: Shift still counts",
       {"keyboard"},
       {kShiftDown, R"({"type":"move","x":0,"y":0})"},
       {"mouse 5 at 0,0 button 0 clicks 0 flags=0x20000"}},
      {"no mouse events",
       {"mouse"},
       {R"({"type":"button","x":0,"y":0,"button":0,"down":true})", kKeyADown,
        R"({"type":"wheel","delta":1})"},
       {"key 0 down flags=0x0", "scroll pixel 1 wheels -1,0,0 flags=0x100", "key 0 up flags=0x0"}},
      {"no cursor: buttons go up at 0,0",
       {"null"},
       {R"({"type":"button","x":0.5,"y":0.5,"button":2,"down":true})"},
       {"mouse 3 at 959.5,539.5 button 1 clicks 1 flags=0x0",
        "mouse 4 at 0,0 button 1 clicks 1 flags=0x0"}},
      {"no scroll events",
       {"scroll"},
       {R"({"type":"wheel","delta":1})", kKeyADown},
       {"key 0 down flags=0x0", "key 0 up flags=0x0"}},
      {"no cursor: relative motion goes nowhere",
       {"null"},
       {R"({"type":"move","movementX":5})", kKeyADown},
       {"key 0 down flags=0x0", "key 0 up flags=0x0"}},
      {"no mouse events: relative motion neither",
       {"mouse"},
       {R"({"type":"move","movementX":5})", kKeyADown},
       {"key 0 down flags=0x0", "key 0 up flags=0x0"}},
  };
  for (const Case& c : cases) {
    recording::Answers answers;
    answers.failing = c.failing;
    EXPECT_EQ(posted_by(c.commands, answers), c.expected) << c.name;
    expect_each_event_handled_once(c.name);
  }
}

// Each click's count, as its press carried it.
std::vector<int64_t> press_counts() {
  std::vector<int64_t> counts;
  for (const recording::Event& event : recording::events()) {
    if (event.kind == "mouse" && event.type == kCGEventLeftMouseDown) {
      counts.push_back(event.click_state);
    }
  }
  return counts;
}

void handle(std::string line) {
  line.reserve(line.size() + kLinePadding);
  dispatch_line(line);
}

// Names are made once for each set of displays connected, not per command,
// and made again when the set changes; bounds are read at each command.
TEST(MacOSBackend, NamesFollowTheDisplaysConnected) {
  const recording::Display main{
      1001, {{0, 0}, {1440, 900}}, 2880, "5A1F3D2E-0C4B-4E6A-9B7D-1E2F3A4B5C6D"};
  recording::Display beside{
      1002, {{1440, 0}, {1920, 1080}}, 1920, "9C8B7A6F-5E4D-4C3B-8A29-18F7E6D5C4B3"};
  const recording::Display other{
      1003, {{0, 900}, {800, 600}}, 800, "2468ACE0-1357-4BDF-8642-0ECA97531BDF"};
  const std::string move_beside =
      R"({"type":"move","display":")" + std::string(beside.uuid) + R"(","x":1,"y":1})";
  const std::string move_other =
      R"({"type":"move","display":")" + std::string(other.uuid) + R"(","x":0,"y":0})";
  recording::Answers answers;
  answers.displays = {main, beside};
  recording::reset(answers);
  for (int i = 0; i < 3; ++i) handle(move_beside);
  EXPECT_EQ(recording::uuids_made(), 2) << "once for each display";

  beside.bounds.origin = {-1920, -180};  // moved left of the main display
  recording::connect({main, beside});
  handle(move_beside);
  handle(move_other);
  EXPECT_EQ(recording::uuids_made(), 2) << "the same displays";

  recording::connect({main, other});
  handle(move_beside);
  handle(move_other);
  EXPECT_EQ(recording::uuids_made(), 4) << "another display connected";

  EXPECT_EQ(recording::posted(), (Lines{"mouse 5 at 3359,1079 button 0 clicks 0 flags=0x0",
                                        "mouse 5 at 3359,1079 button 0 clicks 0 flags=0x0",
                                        "mouse 5 at 3359,1079 button 0 clicks 0 flags=0x0",
                                        "mouse 5 at -1,899 button 0 clicks 0 flags=0x0",
                                        "mouse 5 at 0,900 button 0 clicks 0 flags=0x0"}));
  expect_each_event_handled_once("names following the displays");
}

// The person's double-click speed lives in the global domain, which the
// "App" search of the current application covers. The agent reads it once,
// so each case runs in a process of its own.
TEST(MacOSBackend, ReadsTheDoubleClickSpeedWhereItLives) {
  struct Case {
    const char* name;
    std::optional<double> setting;  // seconds
    std::vector<int64_t> counts;    // of two clicks 150 ms apart
  } cases[] = {
      {"set to 0.1 s", 0.1, {1, 1}},
      {"set to 0.3 s", 0.3, {1, 2}},
      {"never set: macOS's own 0.5 s", std::nullopt, {1, 2}},
  };
  // A process of its own for each: the test binary started afresh.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Case& c : cases) {
    EXPECT_EXIT(
        {
          recording::Answers answers;
          answers.double_click = c.setting;
          recording::reset(answers);
          for (int click = 0; click < 2; ++click) {
            if (click > 0) std::this_thread::sleep_for(std::chrono::milliseconds(150));
            handle(R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":true})");
            handle(R"({"type":"button","x":0.5,"y":0.5,"button":0,"down":false})");
          }
          bool right = press_counts() == c.counts &&
                       recording::preference_domains() == Lines{"current"} &&
                       recording::errors().empty() && recording::unreleased() == 0;
          for (const std::string& error : recording::errors())
            fprintf(stderr, "%s\n", error.c_str());
          for (const std::string& domain : recording::preference_domains()) {
            fprintf(stderr, "asked the %s application's preferences\n", domain.c_str());
          }
          for (int64_t count : press_counts()) fprintf(stderr, "a press counting %ld\n", count);
          std::exit(right ? 0 : 1);
        },
        testing::ExitedWithCode(0), "")
        << c.name;
  }
}

}  // namespace
