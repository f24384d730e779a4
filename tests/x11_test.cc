// input-agent against a real X server: each test starts its own Xvfb, runs the
// agent on it with pipes, and watches what the server delivers to a window of
// the test's own that covers the screen.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "desktop_commands.h"

// Xlib's macros (None, Bool, Status) clash with GoogleTest's names: last.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xrandr.h>

namespace {

// The variables that choose the agent's backend; the tests set their own.
const std::vector<std::string> kChoosing = {
    "WAYLAND_DISPLAY=",     "DISPLAY=",        "XDG_SESSION_TYPE=", "INPUT_AGENT_BACKEND=",
    "INPUT_AGENT_VERBOSE=", "XDG_RUNTIME_DIR="};

constexpr int kWidth = 1280;
constexpr int kHeight = 800;

struct Rect {
  int x, y, width, height;
};

// An Xvfb of the test's own on a display number it picks itself.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    int numbers[2];
    EXPECT_EQ(pipe(numbers), 0);
    std::string fd = std::to_string(numbers[1]);
    std::string screen = std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24";
    const char* argv[] = {"Xvfb",         "-displayfd", fd.c_str(), "-screen",  "0",
                          screen.c_str(), "-nolisten",  "tcp",      "-noreset", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, numbers[0]);
    EXPECT_EQ(posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(numbers[1]);
    std::string number = read_line(numbers[0]);
    close(numbers[0]);
    if (!number.empty() && number.back() == '\n') number.pop_back();
    name_ = ":" + number;
  }
  ~VirtualDisplay() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  const std::string& name() const { return name_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

std::string modifiers(unsigned state) {
  static const std::pair<unsigned, const char*> names[] = {
      {ShiftMask, "shift"},     {LockMask, "lock"},       {ControlMask, "control"},
      {Mod1Mask, "mod1"},       {Mod4Mask, "mod4"},       {Button1Mask, "button1"},
      {Button2Mask, "button2"}, {Button3Mask, "button3"},
  };
  std::string words;
  for (const auto& [mask, name] : names) {
    if (state & mask) words += std::string(words.empty() ? " with " : "+") + name;
  }
  return words;
}

// A window over the whole screen holding the keyboard focus, recording the
// input it receives as lines such as "key down a with shift", "button down 1
// at 640,0" and "move 1279,799 with button1".
class Recorder {
 public:
  explicit Recorder(const std::string& display_name)
      : display_(XOpenDisplay(display_name.c_str()), XCloseDisplay) {
    Display* display = display_.get();
    if (!display) return;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                            PointerMotionMask | StructureNotifyMask;
    window_ =
        XCreateWindow(display, DefaultRootWindow(display), 0, 0, kWidth, kHeight, 0, CopyFromParent,
                      InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    XMapWindow(display, window_);
    for (XEvent event;
         XWindowEvent(display, window_, StructureNotifyMask, &event), event.type != MapNotify;) {
    }
    XSetInputFocus(display, window_, RevertToPointerRoot, CurrentTime);
    // Told of mapping changes as XKB-aware applications are.
    XkbQueryExtension(display, nullptr, &xkb_event_, nullptr, nullptr, nullptr);
    XkbSelectEvents(display, XkbUseCoreKbd, XkbMapNotifyMask, XkbMapNotifyMask);
    XSync(display, False);
    load_keymap();
  }

  // After the test changed the keymap: takes in the server's news of it
  // before any key that follows, as an application has by the time it reads
  // them, and the keymap afresh.
  void reload_keymap() {
    Display* display = display_.get();
    XSync(display, False);
    for (XEvent event; XCheckIfEvent(display, &event, is_mapping_change, as_pointer(this));) {
      XRefreshKeyboardMapping(&event.xmapping);
    }
    load_keymap();
  }

  Display* display() const { return display_.get(); }

  // Reads events until the pointer arrives at `marker`, which the test made
  // the last thing the agent did, and returns what came before it.
  Seen until_motion_at(int x, int y) {
    Seen seen;
    Display* display = display_.get();
    pollfd ready{ConnectionNumber(display), POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (!XPending(display)) {
        poll(&ready, 1, 100);
        continue;
      }
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MotionNotify && event.xmotion.x_root == x && event.xmotion.y_root == y) {
        return seen;
      }
      if (std::string line = describe(event); !line.empty()) seen.push_back(line);
    }
    seen.push_back("(marker never arrived)");
    return seen;
  }

  // From now on, key presses are recorded as what they type, as an
  // application reads a key with the modifiers in force ("typed A" for
  // Shift and a); modifier keys and releases are left out.
  void record_what_keys_type() { record_typed_ = true; }

  std::string keysym_name(unsigned keycode) const {
    return known(keycode) ? name_of(XkbKeySymEntry(keymap_.get(), keycode, 0, 0)) : "(none)";
  }

  // What the key types with the modifiers of `state`, as an XKB-aware
  // application reads it.
  std::string typed_name(unsigned keycode, unsigned state) const {
    KeySym keysym = NoSymbol;
    unsigned consumed;
    if (!known(keycode)) return "(none)";
    XkbTranslateKeyCode(keymap_.get(), keycode, state, &consumed, &keysym);
    return name_of(keysym);
  }

 private:
  bool known(unsigned keycode) const {
    XkbDescPtr map = keymap_.get();
    return keycode >= map->min_key_code && keycode <= map->max_key_code &&
           XkbKeyNumSyms(map, keycode) > 0;
  }

  static std::string name_of(KeySym keysym) {
    // Xlib makes up the names of Unicode keysyms in memory it never frees.
    if ((keysym & 0xff000000) == 0x01000000) {
      char name[16];
      snprintf(name, sizeof name, (keysym & 0xffffff) > 0xffff ? "U%08lX" : "U%04lX",
               keysym & 0xffffff);
      return name;
    }
    const char* name = XKeysymToString(keysym);
    return name ? name : "(none)";
  }

  // Takes the server's keymap, for naming the keys that arrive.
  void load_keymap() {
    keymap_.reset(XkbGetMap(display_.get(), XkbAllClientInfoMask, XkbUseCoreKbd));
  }

  static XPointer as_pointer(Recorder* recorder) { return reinterpret_cast<XPointer>(recorder); }

  static Bool is_mapping_change(Display*, XEvent* event, XPointer recorder) {
    int xkb_event = reinterpret_cast<Recorder*>(recorder)->xkb_event_;
    return event->type == MappingNotify ||
           (event->type == xkb_event &&
            reinterpret_cast<XkbEvent*>(event)->any.xkb_type == XkbMapNotify);
  }

  // An application takes the mapping afresh when told it changed, Xlib's
  // own copy (which XLookupString reads) included.
  std::string describe(XEvent& event) {
    if (is_mapping_change(nullptr, &event, as_pointer(this))) {
      XRefreshKeyboardMapping(&event.xmapping);
      load_keymap();
      return "";
    }
    if (record_typed_ && (event.type == KeyPress || event.type == KeyRelease)) {
      std::string typed = typed_name(event.xkey.keycode, event.xkey.state);
      bool modifier = IsModifierKey(XStringToKeysym(typed.c_str()));
      // A Latin-1 character as Xlib's lookup gives it, which turns letters
      // to the other case by Caps Lock whatever the key's type (xterm reads
      // keys so).
      char latin1[8];
      KeySym ignored;
      if (XLookupString(&event.xkey, latin1, sizeof latin1, &ignored, nullptr) == 1 &&
          static_cast<unsigned char>(latin1[0]) >= 0x20 && latin1[0] != 0x7f) {
        typed = name_of(static_cast<unsigned char>(latin1[0]));
      }
      return event.type == KeyPress && !modifier ? "typed " + typed : "";
    }
    switch (event.type) {
      case KeyPress:
      case KeyRelease:
        return std::string(event.type == KeyPress ? "key down " : "key up ") +
               keysym_name(event.xkey.keycode) + modifiers(event.xkey.state);
      case ButtonPress:
      case ButtonRelease:
        return std::string(event.type == ButtonPress ? "button down " : "button up ") +
               std::to_string(event.xbutton.button) + " at " +
               std::to_string(event.xbutton.x_root) + "," + std::to_string(event.xbutton.y_root);
      case MotionNotify:
        return "move " + std::to_string(event.xmotion.x_root) + "," +
               std::to_string(event.xmotion.y_root) + modifiers(event.xmotion.state & 0xff00);
      default:
        return "";
    }
  }

  std::unique_ptr<Display, int (*)(Display*)> display_;
  Window window_ = 0;
  int xkb_event_ = -1;
  bool record_typed_ = false;
  std::unique_ptr<XkbDescRec, void (*)(XkbDescPtr)> keymap_{
      nullptr, [](XkbDescPtr map) { XkbFreeKeyboard(map, 0, True); }};
};

// What the server holds down: the number of keys and the pointer buttons.
std::pair<int, unsigned> held_down(Display* display) {
  char keymap[32];
  XQueryKeymap(display, keymap);
  int keys = 0;
  for (char byte : keymap) keys += __builtin_popcount(static_cast<unsigned char>(byte));
  Window root, child;
  int root_x, root_y, window_x, window_y;
  unsigned mask = 0;
  XQueryPointer(display, DefaultRootWindow(display), &root, &child, &root_x, &root_y, &window_x,
                &window_y, &mask);
  return {keys, mask & (Button1Mask | Button2Mask | Button3Mask)};
}

// Which keyboards repeat held keys, as "name: on" lines: the core keyboard,
// whose copy of the controls the server repeats by, and the devices (Xvfb's
// own keyboard stands for the person's, XTest's is the agent's).
Seen keyboard_repeat(Display* display) {
  Seen seen;
  int count = 0;
  XIDeviceInfo* devices = XIQueryDevice(display, XIAllDevices, &count);
  for (int i = 0; i < count; ++i) {
    if (devices[i].use != XISlaveKeyboard && devices[i].use != XIMasterKeyboard) continue;
    XkbDescPtr keyboard = XkbAllocKeyboard();
    keyboard->device_spec = devices[i].deviceid;
    XkbGetControls(display, XkbControlsEnabledMask, keyboard);
    bool on = keyboard->ctrls->enabled_ctrls & XkbRepeatKeysMask;
    XkbFreeKeyboard(keyboard, 0, True);
    seen.push_back(std::string(devices[i].name) + (on ? ": on" : ": off"));
  }
  XIFreeDeviceInfo(devices);
  return seen;
}

class X11Agent : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(recorder_.display(), nullptr) << "cannot open " << display_.name();
  }

  void TearDown() override {
    if (agent_.pid > 0) {
      close_input(agent_);
      wait_for_exit(agent_);
      close_pipes(agent_);
    }
  }

  // Waits, within limits, for the server to hold exactly `expected`; returns
  // what it holds.
  std::pair<int, unsigned> await_held(std::pair<int, unsigned> expected) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::pair<int, unsigned> held = held_down(recorder_.display());
    while (held != expected && std::chrono::steady_clock::now() < deadline) {
      usleep(2000);
      held = held_down(recorder_.display());
    }
    return held;
  }

  void start_agent() {
    agent_ = start_child(AGENT_PATH, {}, {"DISPLAY=" + display_.name()}, kChoosing);
    ASSERT_EQ(read_line(agent_.output), "READY\n");
  }

  // Where the agent puts fraction (x, y) of `area`.
  static std::pair<int, int> pixel(Rect area, double x, double y) {
    return {static_cast<int>(std::lround(area.x + x * (area.width - 1))),
            static_cast<int>(std::lround(area.y + y * (area.height - 1)))};
  }

  // Sends `commands`, then a move to a marker spot, and returns what the
  // window saw before the marker arrived. The marker alternates between two
  // spots so that it always moves the pointer.
  Seen observe(const std::string& commands, Rect area = {0, 0, kWidth, kHeight}) {
    double marker_x = (marker_count_++ % 2) ? 0.37 : 0.63;
    send(agent_, commands + move(marker_x, 0.77));
    auto [x, y] = pixel(area, marker_x, 0.77);
    return recorder_.until_motion_at(x, y);
  }

  void set_monitor(const std::string& name, const std::string& geometry) {
    std::string command =
        "DISPLAY=" + display_.name() + " xrandr --setmonitor '" + name + "' " + geometry + " none";
    ASSERT_EQ(system(command.c_str()), 0) << command;
  }

  VirtualDisplay display_;
  Recorder recorder_{display_.name()};
  Child agent_;
  int marker_count_ = 0;
};

TEST_F(X11Agent, TypesAShiftedKey) {
  start_agent();
  EXPECT_EQ(observe(key("ShiftLeft", true) + key("KeyA", true) + key("KeyA", false) +
                    key("ShiftLeft", false)),
            (Seen{"key down Shift_L", "key down a with shift", "key up a with shift",
                  "key up Shift_L with shift"}));
}

// Repeats are the controller's (the table in desktop_commands), on a fresh
// server and where another XTest client typed last, whose copy of the
// controls the server would repeat by; and for a second agent after the
// first. The person's keyboard keeps repeating, and at exit every keyboard
// has its repeat back.
TEST_F(X11Agent, RepeatsAreExactlyTheCommands) {
  Display* display = recorder_.display();
  const Seen as_found{"Virtual core keyboard: on", "Virtual core XTEST keyboard: on",
                      "Xvfb keyboard: on"};
  const Seen while_running{"Virtual core keyboard: off", "Virtual core XTEST keyboard: off",
                           "Xvfb keyboard: on"};
  for (bool other_client_typed : {false, true}) {
    const char* situation = other_client_typed ? "after xdotool typed" : "on a fresh server";
    if (other_client_typed) {
      std::string xdotool = "DISPLAY=" + display_.name() + " xdotool key c";
      ASSERT_EQ(system(xdotool.c_str()), 0);
    }
    ASSERT_EQ(keyboard_repeat(display), as_found) << situation;
    for (const char* agent : {"first agent", "second agent"}) {
      start_agent();
      observe("");  // what came before
      for (const RepeatCase& c : repeat_cases()) {
        send(agent_, c.commands);
        std::this_thread::sleep_for(c.held_for);
        EXPECT_EQ(starting_with(observe(c.then), "key"), c.keys)
            << situation << ", " << agent << ": " << c.name;
      }
      EXPECT_EQ(keyboard_repeat(display), while_running) << situation << ", " << agent;
      close_input(agent_);
      EXPECT_EQ(wait_for_exit(agent_), 0);
      close_pipes(agent_);
      agent_ = Child();
      EXPECT_EQ(keyboard_repeat(display), as_found) << situation << ", after the " << agent;
    }
  }
}

TEST_F(X11Agent, EveryModifierPairReachesTheNextKey) {
  start_agent();
  Script pairs = modifier_pairs();
  EXPECT_EQ(pair_presses(observe(pairs.commands), pairs), pairs.expected);
}

TEST_F(X11Agent, EveryKeyLandsOnItsPhysicalKey) {
  start_agent();
  Script keys = every_key();
  EXPECT_EQ(landed_keys(observe(keys.commands), keys), keys.expected);
}

TEST_F(X11Agent, FollowsAKeymapChangeWhileRunning) {
  start_agent();
  std::string keys =
      key("ArrowUp", true) + key("ArrowUp", false) + key("MetaLeft", true) + key("MetaLeft", false);
  Seen expected{"key down Up", "key up Up", "key down Super_L", "key up Super_L with mod4"};
  EXPECT_EQ(observe(keys), expected) << "before";
  // Other key codes for the same keys: ArrowUp's is Print's before.
  std::string command =
      "setxkbmap -display " + display_.name() + " -keycodes 'xfree86+aliases(qwerty)'";
  ASSERT_EQ(system(command.c_str()), 0) << command;
  recorder_.reload_keymap();
  EXPECT_EQ(observe(keys), expected) << "after";
}

TEST_F(X11Agent, MovesReachTheFirstAndLastPixel) {
  start_agent();
  EXPECT_EQ(observe(move(0, 0) + move(1, 1) + move(1, 0) + move(0.5, 0.25)),
            (Seen{"move 0,0", "move 1279,799", "move 1279,0", "move 640,200"}));
}

// Every press and release is preceded by a motion to its point; where the
// pointer is there already, that motion covers no distance.
TEST_F(X11Agent, ButtonsPressAndReleaseWhereTheCommandSays) {
  start_agent();
  EXPECT_EQ(
      observe(button(0, 0, 0, true) + button(0, 0, 0, false) + button(1, 1, 1, true) +
              button(1, 1, 1, false) + button(0.5, 0.5, 2, true) + button(0.5, 0.5, 2, false)),
      (Seen{"move 0,0", "button down 1 at 0,0", "move 0,0 with button1", "button up 1 at 0,0",
            "move 1279,799", "button down 2 at 1279,799", "move 1279,799 with button2",
            "button up 2 at 1279,799", "move 640,400", "button down 3 at 640,400",
            "move 640,400 with button3", "button up 3 at 640,400"}));
}

TEST_F(X11Agent, ClicksLandWhereTheCommandSaysAfterAnotherClientMovedThePointer) {
  start_agent();
  Display* other = recorder_.display();
  EXPECT_EQ(observe(move(0.5, 0.5)), Seen{"move 640,400"});
  XWarpPointer(other, 0, DefaultRootWindow(other), 0, 0, 0, 0, 10, 10);
  XSync(other, False);
  EXPECT_EQ(observe(button(0.5, 0.5, 0, true) + button(0.5, 0.5, 0, false)),
            (Seen{"move 10,10", "move 640,400", "button down 1 at 640,400",
                  "move 640,400 with button1", "button up 1 at 640,400"}));
}

TEST_F(X11Agent, MovesWithAButtonHeldAreDrags) {
  start_agent();
  EXPECT_EQ(
      observe(button(0, 0, 0, true) + move(0.5, 0.5) + button(0.5, 0.5, 0, false) +
              button(0, 0, 2, true) + move(1, 1) + button(1, 1, 2, false) + button(0, 0, 1, true) +
              move(0.5, 0) + button(0.5, 0, 1, false)),
      (Seen{"move 0,0", "button down 1 at 0,0", "move 640,400 with button1",
            "move 640,400 with button1", "button up 1 at 640,400", "move 0,0",
            "button down 3 at 0,0", "move 1279,799 with button3", "move 1279,799 with button3",
            "button up 3 at 1279,799", "move 0,0", "button down 2 at 0,0",
            "move 640,0 with button2", "move 640,0 with button2", "button up 2 at 640,0"}));
}

TEST_F(X11Agent, WheelScrollsByClicksCarryingWhatIsLeft) {
  start_agent();
  // A click is 100 pixels; leftovers carry while the direction stays.
  EXPECT_EQ(observe(move(0.25, 0.25) + wheel(-100) + wheel(250) + wheel(40) + wheel(20) +
                    wheel(-30) + wheel(-80)),
            (Seen{"move 320,200",                                           //
                  "button down 4 at 320,200", "button up 4 at 320,200",     // -100: one up
                  "button down 5 at 320,200", "button up 5 at 320,200",     // 250: two down,
                  "button down 5 at 320,200", "button up 5 at 320,200",     //   50 left
                  "button down 5 at 320,200", "button up 5 at 320,200",     // +40 +20: one, 10 left
                  "button down 4 at 320,200", "button up 4 at 320,200"}));  // -30 -80: one up
}

TEST_F(X11Agent, SidewaysWheelClicksButtonsSixAndSeven) {
  start_agent();
  Seen expected = {"move 320,200"};
  for (int button : {6, 7, 7, 7, 5, 6}) {
    expected.push_back("button down " + std::to_string(button) + " at 320,200");
    expected.push_back("button up " + std::to_string(button) + " at 320,200");
  }
  EXPECT_EQ(observe(move(0.25, 0.25) + sideways_wheel_script()), expected);
}

// Every core keysym of every keycode, as the server has them now.
std::vector<KeySym> keyboard_mapping(Display* display) {
  int first, last, width;
  XDisplayKeycodes(display, &first, &last);
  KeySym* keysyms = XGetKeyboardMapping(display, first, last - first + 1, &width);
  std::vector<KeySym> all(keysyms, keysyms + (last - first + 1) * width);
  XFree(keysyms);
  return all;
}

// Each character by its keysym (beyond Latin-1, the Unicode keysym, which
// applications read as the character), whatever the layout, seen by a client
// that reads keys with the modifiers in force and follows mapping changes,
// as XKB-aware applications do; the Shift the agent holds changes none of
// them and holds again after. However the agent ends, the keymap is then as
// it was.
TEST_F(X11Agent, TypesTextWhateverTheLayoutAndLeavesTheKeymapAsItWas) {
  recorder_.record_what_keys_type();
  for (bool by_signal : {false, true}) {
    const char* name = by_signal ? "SIGTERM" : "end of input";
    std::vector<KeySym> before = keyboard_mapping(recorder_.display());
    start_agent();
    EXPECT_EQ(
        starting_with(observe(key("ShiftLeft", true) + text("Aé😀€łßü!aa\n\t") + key("KeyB", true) +
                              key("KeyB", false) + key("ShiftLeft", false)),
                      "typed"),
        (Seen{"typed A", "typed eacute", "typed U0001F600", "typed U20AC", "typed U0142",
              "typed ssharp", "typed udiaeresis", "typed exclam", "typed a", "typed a",
              "typed Return", "typed Tab", "typed B"}))
        << name;
    EXPECT_EQ(starting_with(observe(text(std::string(970, 'q'))), "typed"), Seen(970, "typed q"))
        << name;
    if (by_signal) {
      kill(agent_.pid, SIGTERM);
    } else {
      close_input(agent_);
    }
    wait_for_end(agent_);
    close_pipes(agent_);
    agent_ = Child();
    EXPECT_EQ(keyboard_mapping(recorder_.display()), before) << name;
  }
}

// Letters on their own keys would come out in the other case with Caps Lock
// locked; what the keys of another layout type is theirs, and what it types
// only with AltGr (the euro sign) is typed all the same.
TEST_F(X11Agent, TextStaysExactWithCapsLockAndAnotherLayout) {
  recorder_.record_what_keys_type();
  start_agent();
  std::string caps_lock = key("CapsLock", true) + key("CapsLock", false);
  EXPECT_EQ(starting_with(observe(caps_lock + text("aB1") + key("KeyC", true) + key("KeyC", false) +
                                  caps_lock + text("dE")),
                          "typed"),
            (Seen{"typed a", "typed B", "typed 1", "typed C", "typed d", "typed E"}));
  // Held by the controller, Caps Lock still changes neither text nor its own
  // state.
  EXPECT_EQ(starting_with(observe(key("CapsLock", true) + text("ab") + key("KeyC", true) +
                                  key("KeyC", false) + key("CapsLock", false) + text("de") +
                                  caps_lock + text("f")),
                          "typed"),
            (Seen{"typed a", "typed b", "typed C", "typed d", "typed e", "typed f"}));
  std::string command = "setxkbmap -display " + display_.name() + " de";
  ASSERT_EQ(system(command.c_str()), 0) << command;
  recorder_.reload_keymap();
  EXPECT_EQ(
      starting_with(observe(text("zyäß€@") + key("KeyZ", true) + key("KeyZ", false)), "typed"),
      (Seen{"typed z", "typed y", "typed adiaeresis", "typed ssharp", "typed U20AC", "typed at",
            "typed y"}));
}

// With two layouts, the one the person has switched to types the text, and
// after a switch back the first again.
TEST_F(X11Agent, TextTypesWithTheLayoutInForce) {
  std::string command = "setxkbmap -display " + display_.name() + " -layout us,de";
  ASSERT_EQ(system(command.c_str()), 0) << command;
  recorder_.reload_keymap();
  recorder_.record_what_keys_type();
  start_agent();
  for (unsigned group : {1, 0}) {
    XkbLockGroup(recorder_.display(), XkbUseCoreKbd, group);
    XSync(recorder_.display(), False);
    EXPECT_EQ(starting_with(observe(text("yz@ä")), "typed"),
              (Seen{"typed y", "typed z", "typed at", "typed adiaeresis"}))
        << "group " << group;
  }
}

// A character the main keys type goes on them, never on the keypad (an
// application in keypad mode reads another sequence from its keys) or on
// the extra key beside the left Shift.
TEST_F(X11Agent, TextGoesOnTheMainKeys) {
  start_agent();
  EXPECT_EQ(starting_with(observe(text("a*+b<")), "key down"),
            (Seen{"key down a", "key down Shift_L", "key down 8 with shift", "key down Shift_L",
                  "key down equal with shift", "key down b", "key down Shift_L",
                  "key down comma with shift"}));
}

// The key the controller holds stays down through text with its character,
// which goes on a spare instead, and comes up at the controller's release.
TEST_F(X11Agent, TextLeavesAHeldKeyDown) {
  recorder_.record_what_keys_type();
  start_agent();
  EXPECT_EQ(starting_with(observe(key("KeyA", true) + text("banana")), "typed"),
            (Seen{"typed a", "typed b", "typed a", "typed n", "typed a", "typed n", "typed a"}));
  EXPECT_EQ(await_held({1, 0}), std::make_pair(1, 0u));
  send(agent_, key("KeyA", false));
  EXPECT_EQ(await_held({0, 0}), std::make_pair(0, 0u));
}

unsigned root_children(Display* display) {
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
  XFree(children);
  return count;
}

// An agent killed with spares given keysyms leaves them in the keymap; the
// next agent to type gives them back, so the keymap after it is as before
// the first.
TEST_F(X11Agent, TheNextAgentGivesBackTheSparesAKilledOneLeft) {
  std::vector<KeySym> before = keyboard_mapping(recorder_.display());
  unsigned windows = root_children(recorder_.display());
  recorder_.record_what_keys_type();
  start_agent();
  EXPECT_EQ(starting_with(observe(text("\u00e9\u20ac")), "typed"),
            (Seen{"typed eacute", "typed U20AC"}));
  kill(agent_.pid, SIGKILL);
  wait_for_end(agent_);
  close_pipes(agent_);
  // The server has let go of the agent once its windows are gone.
  for (int i = 0; i < 1000 && root_children(recorder_.display()) != windows; ++i) usleep(2000);
  EXPECT_NE(keyboard_mapping(recorder_.display()), before) << "nothing left behind to give back";
  start_agent();
  EXPECT_EQ(starting_with(observe(text("\u0142")), "typed"), Seen{"typed U0142"});
  close_input(agent_);
  wait_for_end(agent_);
  close_pipes(agent_);
  agent_ = Child();
  EXPECT_EQ(keyboard_mapping(recorder_.display()), before);
}

// A record left by an agent gone whose window id another client has since
// (here the root window's, which stays) is given back as well: the window
// must carry the agent's own mark.
TEST_F(X11Agent, AnAgentsRecordIsGivenBackEvenWhenItsWindowIdIsTaken) {
  Display* display = recorder_.display();
  std::vector<KeySym> before = keyboard_mapping(display);
  // The highest keycode the keymap leaves empty, as the agent left it.
  int first, last;
  XDisplayKeycodes(display, &first, &last);
  size_t width = before.size() / (last - first + 1);
  int spare = last;
  while (spare > first &&
         std::any_of(before.begin() + (spare - first) * width,
                     before.begin() + (spare - first + 1) * width, [](KeySym k) { return k; })) {
    --spare;
  }
  KeySym snowman[2] = {0x1002603, 0x1002603};
  XChangeKeyboardMapping(display, spare, 2, snowman, 1);
  Window taken = DefaultRootWindow(display);
  std::string name = "_INPUT_AGENT_SPARES_" + [&] {
    char hex[16];
    snprintf(hex, sizeof hex, "%08lx", taken);
    return std::string(hex);
  }();
  Atom record = XInternAtom(display, name.c_str(), False);
  long values[4] = {1, 2, spare, 0x1002603};
  XChangeProperty(display, taken, record, XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(values), 4);
  XSync(display, False);
  recorder_.record_what_keys_type();
  start_agent();
  EXPECT_EQ(starting_with(observe(text("\u00e9")), "typed"), Seen{"typed eacute"});
  close_input(agent_);
  wait_for_end(agent_);
  close_pipes(agent_);
  agent_ = Child();
  EXPECT_EQ(keyboard_mapping(display), before);
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  XGetWindowProperty(display, taken, record, 0, 4, False, AnyPropertyType, &type, &format, &count,
                     &after, &data);
  EXPECT_EQ(type, None) << "the record is still there";
  XFree(data);
}

// An application looks a key up when it gets to its event, in the mapping
// the server has then. One that gets there 30 ms late still reads every
// character typed on a spare keycode: when there are more characters than
// spares, and just before the agent ends (which empties the spares).
TEST_F(X11Agent, TextReachesAnApplicationThatIsBehind) {
  recorder_.record_what_keys_type();
  start_agent();
  std::string many;
  Seen expected;
  for (int c = 0x4e00; c < 0x4e00 + 60; ++c) {  // more than the keymap's spares
    many += {static_cast<char>(0xe0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3f)),
             static_cast<char>(0x80 | (c & 0x3f))};
    char name[32];
    snprintf(name, sizeof name, "typed U%04X", c);
    expected.push_back(name);
  }
  expected.push_back("typed eacute");
  send(agent_, text(many) + text("é") + move(0.5, 0.5));
  close_input(agent_);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(starting_with(recorder_.until_motion_at(640, 400), "typed"), expected);
  wait_for_end(agent_);
  close_pipes(agent_);
  agent_ = Child();
}

// However its input ends, the agent lets go of all it holds before it exits.
TEST_F(X11Agent, NothingStaysHeldWhenInputEnds) {
  enum class End { kPipeClosed, kControllerKilled };
  struct Case {
    const char* name;
    std::string commands;
    std::pair<int, unsigned> held;
    End end;
  } cases[] = {
      {"keys and buttons, pipe closed",
       key("ShiftLeft", true) + key("ControlRight", true) + key("KeyQ", true) +
           button(0.2, 0.2, 0, true) + button(0.2, 0.2, 2, true),
       {3, Button1Mask | Button3Mask},
       End::kPipeClosed},
      {"keys and buttons, controller killed",
       key("AltLeft", true) + key("MetaRight", true) + button(0.3, 0.3, 1, true),
       {2, Button2Mask},
       End::kControllerKilled},
      {"in the middle of a drag, pipe closed",
       button(0.1, 0.1, 0, true) + move(0.2, 0.3) + move(0.4, 0.5),
       {0, Button1Mask},
       End::kPipeClosed},
      {"in the middle of a drag, controller killed",
       key("ShiftLeft", true) + button(0.1, 0.1, 2, true) + move(0.6, 0.3),
       {1, Button3Mask},
       End::kControllerKilled},
  };
  for (const Case& c : cases) {
    // The controller forwards what the test writes to the agent until its
    // own input closes, or until it is killed.
    Child controller = start_child("/bin/cat", {}, {});
    agent_ =
        start_child(AGENT_PATH, {}, {"DISPLAY=" + display_.name()}, kChoosing, controller.output);
    close(controller.output);
    controller.output = -1;
    ASSERT_EQ(read_line(agent_.output), "READY\n") << c.name;
    send(controller, c.commands);
    EXPECT_EQ(await_held(c.held), c.held) << c.name << ": before the end";

    if (c.end == End::kControllerKilled) kill(controller.pid, SIGKILL);
    close_input(controller);
    wait_for_exit(controller);
    EXPECT_EQ(wait_for_exit(agent_), 0) << c.name;
    EXPECT_EQ(await_held({0, 0}), std::make_pair(0, 0u)) << c.name << ": after";
    EXPECT_EQ(read_rest(agent_.errors), "") << c.name;
    close_pipes(controller);
    close_pipes(agent_);
    agent_ = Child();
  }
}

// The signals controllers and terminals stop processes with: the server
// holds nothing afterwards, and the controller sees the signal it sent.
TEST_F(X11Agent, NothingStaysHeldWhenStoppedBySignal) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    std::string name = strsignal(signal);
    start_agent();
    send(agent_, key("ShiftLeft", true) + button(0.5, 0.5, 0, true));
    EXPECT_EQ(await_held({1, Button1Mask}), std::make_pair(1, unsigned{Button1Mask})) << name;
    kill(agent_.pid, signal);
    int status = wait_for_end(agent_);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << name << ": " << status;
    EXPECT_EQ(await_held({0, 0}), std::make_pair(0, 0u)) << name;
    EXPECT_EQ(read_rest(agent_.errors), "") << name;
    close_pipes(agent_);
    agent_ = Child();
  }
}

// A server that stops answering (here: stopped) does not keep the agent
// from exiting.
TEST_F(X11Agent, ExitDoesNotWaitForAServerThatDoesNotAnswer) {
  start_agent();
  EXPECT_EQ(observe(key("KeyA", true)), Seen{"key down a"});
  kill(display_.pid(), SIGSTOP);
  close_input(agent_);
  EXPECT_EQ(wait_for_exit(agent_), 0);
  kill(display_.pid(), SIGCONT);
}

// A stop request ends the agent within the bound whatever the server does.
// While a long text waits for spares to settle (970 characters each needing
// a spare, far more than the server has) and while the agent waits for the
// answers of a stopped server (a text asks for the keymap and Caps Lock),
// the agent's own waits give up, well before the last resort. With the
// server stopped and its socket full, the agent is stuck in a write, and
// only the last resort ends it, also when its parent blocked every signal.
// The controller sees its signal and the keymap is as it was; Shift, held
// in the first round, is let go (a stopped server drops what the agent sent
// once the connection has closed, as after SIGKILL).
TEST_F(X11Agent, AStopEndsTheAgentWithinTheBoundWhateverTheServerDoes) {
  std::string cjk;
  for (char32_t c = 0x4E00; c < 0x4E00 + 970; ++c) {
    cjk += static_cast<char>(0xE0 | (c >> 12));
    cjk += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    cjk += static_cast<char>(0x80 | (c & 0x3F));
  }
  std::string moves;
  for (int i = 0; i < 1000; ++i) moves += move((i % 100) / 100.0, 0.5);
  struct Case {
    const char* name;
    bool server_stopped;
    std::string commands;
    bool flood;  // sent again and again until the agent ends
    bool signals_blocked;
    std::chrono::milliseconds bound;
  } cases[] = {
      {"spares settling", false, text(cjk), false, false, kStopWaitsBound},
      {"server stopped during a text", true, text("abc"), false, false, kStopWaitsBound},
      {"server stopped, its socket full", true, moves, true, false, kStopBound},
      {"the same, every signal blocked by the parent", true, moves, true, true, kStopBound},
  };
  for (const Case& c : cases) {
    std::vector<KeySym> before = keyboard_mapping(recorder_.display());
    sigset_t all, unblocked;
    sigfillset(&all);
    if (c.signals_blocked) pthread_sigmask(SIG_SETMASK, &all, &unblocked);
    start_agent();
    if (c.signals_blocked) pthread_sigmask(SIG_SETMASK, &unblocked, nullptr);
    bool hold_shift = &c == &cases[0];
    if (hold_shift) {
      EXPECT_EQ(observe(key("ShiftLeft", true)), Seen{"key down Shift_L"});
    }
    if (c.server_stopped) kill(display_.pid(), SIGSTOP);
    std::thread flood;
    if (c.flood) {
      flood = keep_sending(agent_, c.commands);
    } else {
      send(agent_, c.commands);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(still_running(agent_)) << c.name;
    kill(agent_.pid, SIGTERM);
    int status = wait_for_end(agent_, c.bound);
    if (c.server_stopped) kill(display_.pid(), SIGCONT);
    if (flood.joinable()) flood.join();
    EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)
        << c.name << ": " << status;
    close_pipes(agent_);
    agent_ = Child();
    if (hold_shift) {
      EXPECT_EQ(await_held({0, 0}), std::make_pair(0, 0u)) << c.name;
    }
    EXPECT_EQ(keyboard_mapping(recorder_.display()), before) << c.name;
  }
}

TEST_F(X11Agent, FractionsMapIntoThePrimaryMonitor) {
  set_monitor("*right", "640/169x800/254+640+0");
  start_agent();
  Rect right{640, 0, 640, 800};
  EXPECT_EQ(
      observe(move(0, 0) + move(1, 1) + button(0.5, 0.5, 0, true) + button(0.5, 0.5, 0, false),
              right),
      (Seen{"move 640,0", "move 1279,799", "move 960,400", "button down 1 at 960,400",
            "move 960,400 with button1", "button up 1 at 960,400"}));
}

// Two monitors of different sizes, the main one on the right and lower down,
// beside Xvfb's own, which covers the screen: the list puts the main one
// first, and has them as xrandr --listmonitors does; fractions of a named monitor reach its first,
// middle and last pixel, of none the main one's; a name the server does not
// have, or no longer has, drops the command, but for the release of a
// button pressed there.
TEST_F(X11Agent, ListsEveryMonitorAndAddressesEachByName) {
  set_monitor("*right", "640/169x500/132+640+300");
  set_monitor("left", "640/169x800/211+0+0");
  Child lister = start_child(AGENT_PATH, {"--displays"}, {"DISPLAY=" + display_.name()}, kChoosing);
  EXPECT_EQ(read_rest(lister.output),
            R"({"id":"right","x":640,"y":300,"width":640,"height":500,"scale":1,"main":true})"
            "\n"
            R"({"id":"left","x":0,"y":0,"width":640,"height":800,"scale":1,"main":false})"
            "\n"
            R"({"id":"screen","x":0,"y":0,"width":1280,"height":800,"scale":1,"main":false})"
            "\n");
  EXPECT_TRUE(exited_with(wait_for_end(lister), 0));
  close_pipes(lister);

  start_agent();
  Rect right{640, 300, 640, 500};
  EXPECT_EQ(
      observe(move_on("left", 0, 0) + move_on("left", 1, 1) + button_on("left", 0.5, 0.5, 0, true) +
                  button_on("left", 0.5, 0.5, 0, false) + move_on("right", 1, 0) + move(0, 1) +
                  move_on("elsewhere", 0.5, 0.5) + button_on("LEFT", 0.5, 0.5, 0, true),
              right),
      (Seen{"move 0,0", "move 639,799", "move 320,400", "button down 1 at 320,400",
            "move 320,400 with button1", "button up 1 at 320,400", "move 1279,300",
            "move 640,799"}));
  // A button pressed on a monitor that goes away before its release comes
  // up all the same, where the pointer is then (the last marker).
  EXPECT_EQ(observe(button_on("left", 0.5, 0.5, 0, true), right),
            (Seen{"move 320,400", "button down 1 at 320,400"}));
  std::string command = "DISPLAY=" + display_.name() + " xrandr --delmonitor left";
  ASSERT_EQ(system(command.c_str()), 0) << command;
  auto [x, y] = pixel(right, 0.37, 0.77);
  std::string at = std::to_string(x) + "," + std::to_string(y);
  EXPECT_EQ(observe(move_on("left", 0, 0) + button_on("left", 0.5, 0.5, 0, false) +
                        move_on("right", 0, 0),
                    right),
            (Seen{"move " + at + " with button1", "button up 1 at " + at, "move 640,300"}));
}

// What a game reads: XInput 2's raw motion of the master pointer, one line
// "dx,dy" an event, a valuator the event leaves out as 0.
class RawMotion {
 public:
  explicit RawMotion(const std::string& display_name)
      : display_(XOpenDisplay(display_name.c_str()), XCloseDisplay) {
    Display* display = display_.get();
    int event, error, major = 2, minor = 2;
    XQueryExtension(display, "XInputExtension", &opcode_, &event, &error);
    XIQueryVersion(display, &major, &minor);
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawMotion);
    XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
    XISelectEvents(display, DefaultRootWindow(display), &mask, 1);
    XSync(display, False);
  }

  // The next `count` raw motions, waiting at most 5 s for each.
  Seen take(size_t count) {
    Seen seen;
    Display* display = display_.get();
    pollfd ready{ConnectionNumber(display), POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (seen.size() < count && std::chrono::steady_clock::now() < deadline) {
      if (!XPending(display)) {
        poll(&ready, 1, 100);
        continue;
      }
      XEvent event;
      XNextEvent(display, &event);
      if (std::string line = describe(event.xcookie); !line.empty()) seen.push_back(line);
    }
    return seen;
  }

  // Whether any raw motion is still to come, once the server has sent all.
  bool more() {
    XSync(display_.get(), False);
    return !take(XPending(display_.get()) ? 1 : 0).empty();
  }

 private:
  std::string describe(XGenericEventCookie& cookie) {
    Display* display = display_.get();
    if (cookie.type != GenericEvent || cookie.extension != opcode_ ||
        !XGetEventData(display, &cookie)) {
      return "";
    }
    auto* raw = static_cast<XIRawEvent*>(cookie.data);
    double delta[2] = {0, 0};
    const double* value = raw->raw_values;
    for (int axis = 0; axis < raw->valuators.mask_len * 8; ++axis) {
      if (!XIMaskIsSet(raw->valuators.mask, axis)) continue;
      if (axis < 2) delta[axis] = *value;
      ++value;
    }
    XFreeEventData(display, &cookie);
    char line[64];
    snprintf(line, sizeof line, "%g,%g", delta[0], delta[1]);
    return line;
  }

  std::unique_ptr<Display, decltype(&XCloseDisplay)> display_;
  int opcode_ = 0;
};

// Relative motion reaches a game's raw motion exactly, whole pixels as they
// add up, and moves the pointer by as much, unaccelerated, up to the
// screen's edge. Each case starts with the pointer at the middle, put there
// by an absolute move, whose raw motion carries the position.
TEST_F(X11Agent, RelativeMotionReachesRawMotionExactly) {
  start_agent();
  RawMotion raw(display_.name());
  auto repeat = [](const std::string& line, int times) {
    std::string lines;
    for (int i = 0; i < times; ++i) lines += line;
    return lines;
  };
  struct Case {
    const char* name;
    std::string commands;
    Seen raw;
    std::pair<int, int> pointer;
  } cases[] = {
      {"one move", movement(30, -20), {"30,-20"}, {670, 380}},
      {"each axis alone",
       R"({"type":"move","movementX":15})"
       "\n"
       R"({"type":"move","movementY":-5})"
       "\n",
       {"15,0", "0,-5"},
       {655, 395}},
      {"past the left edge", repeat(movement(-100, 0), 20), Seen(20, "-100,0"), {0, 400}},
      {"half pixels", repeat(movement(0.5, 0), 4), {"1,0", "1,0"}, {642, 400}},
      {"a string and an out-of-range value dropped",
       R"({"type":"move","movementX":"5"})"
       "\n"
       R"({"type":"move","movementX":10001})"
       "\n" +
           movement(1, 0),
       {"1,0"},
       {641, 400}},
  };
  for (const Case& c : cases) {
    send(agent_, move(0, 0) + move(0.5, 0.5));
    for (Seen start; (start = raw.take(1)) != Seen{"640,400"};) {
      ASSERT_FALSE(start.empty()) << c.name << ": the start never arrived";
    }
    send(agent_, c.commands);
    EXPECT_EQ(raw.take(c.raw.size()), c.raw) << c.name;
    EXPECT_FALSE(raw.more()) << c.name;
    Window root, child;
    int x, y, window_x, window_y;
    unsigned mask;
    XQueryPointer(recorder_.display(), DefaultRootWindow(recorder_.display()), &root, &child, &x,
                  &y, &window_x, &window_y, &mask);
    EXPECT_EQ(std::make_pair(x, y), c.pointer) << c.name;
  }
}

// With a button held, relative motion drags (the server stamps the
// modifiers held on it as on any motion); an absolute move after it lands
// exactly.
TEST_F(X11Agent, RelativeMotionDragsAndAbsoluteMovesStayExact) {
  start_agent();
  EXPECT_EQ(observe(button(0.5, 0.5, 0, true) + movement(10, -4) + button(0.5, 0.5, 0, false) +
                    move(0.25, 0.25)),
            (Seen{"move 640,400", "button down 1 at 640,400", "move 650,396 with button1",
                  "move 640,400 with button1", "button up 1 at 640,400", "move 320,200"}));
}

// The change is made by the test's own client between two commands, a
// fraction of a millisecond apart; the second already goes to the new layout.
TEST_F(X11Agent, FollowsALayoutChangeFromTheNextCommandOn) {
  start_agent();
  EXPECT_EQ(observe(move(1, 1)), Seen{"move 1279,799"});
  Display* display = recorder_.display();
  XRRMonitorInfo* corner_monitor = XRRAllocateMonitor(display, 0);
  corner_monitor->name = XInternAtom(display, "corner", False);
  corner_monitor->primary = True;
  corner_monitor->x = 100;
  corner_monitor->y = 50;
  corner_monitor->width = 500;
  corner_monitor->height = 400;
  XRRSetMonitor(display, DefaultRootWindow(display), corner_monitor);
  XRRFreeMonitors(corner_monitor);
  XSync(display, False);
  Rect corner{100, 50, 500, 400};
  EXPECT_EQ(observe(move(0, 0) + move(1, 1), corner), (Seen{"move 100,50", "move 599,449"}));
}

// A server that goes away ends the agent by itself, at once, whether it is
// idle (Shift held, input open) or moves are arriving, and whatever signals
// its parent blocked, with the status that says so and nothing written after
// READY. (No recorder: Xlib would end the test with the server.)
TEST(X11AgentServerGone, EndsTheAgentByItselfWithTheStatusThatSaysSo) {
  struct Case {
    const char* name;
    bool streaming;
    bool signals_blocked;  // every one, by the agent's parent: it inherits them
  } cases[] = {
      {"idle", false, false},
      {"while moves arrive", true, false},
      {"idle, started with every signal blocked", false, true},
  };
  for (const Case& c : cases) {
    VirtualDisplay display;
    sigset_t all, before;
    sigfillset(&all);
    if (c.signals_blocked) pthread_sigmask(SIG_SETMASK, &all, &before);
    Child agent = start_child(AGENT_PATH, {},
                              {"DISPLAY=" + display.name(), "INPUT_AGENT_VERBOSE=1"}, kChoosing);
    if (c.signals_blocked) pthread_sigmask(SIG_SETMASK, &before, nullptr);
    ASSERT_EQ(read_line(agent.output), "READY\n") << c.name;
    Ending ending =
        kill_server_under(agent, display.pid(), key("ShiftLeft", true),
                          c.streaming ? move(0.25, 0.5) + move(0.75, 0.5) : "", kSessionEndBound);
    EXPECT_TRUE(exited_with(ending.status, kSessionEnded)) << c.name << ": " << ending.status;
    EXPECT_EQ(ending.output, "") << c.name;
    EXPECT_EQ(ending.errors,
              "input-agent: backend x11: an X session (DISPLAY=" + display.name() +
                  ")\ninput-agent: the session ended: the X server closed the connection\n")
        << c.name;
  }
}

// Variables left over from a Wayland session (in tmux or screen, under a
// service manager) do not keep the agent from the X server that answers;
// asked to, it says on standard error which backend it took, and why.
TEST_F(X11Agent, ChoosesTheXServerWhenLeftOverWaylandVariablesLeadNowhere) {
  struct Case {
    const char* name;
    std::vector<std::string> variables;
    const char* why;  // as INPUT_AGENT_VERBOSE=1 has it said
  } cases[] = {
      {"an X session", {}, "an X session"},
      {"WAYLAND_DISPLAY left over", {"WAYLAND_DISPLAY=wayland-stale"}, "no Wayland compositor"},
      {"XDG_SESSION_TYPE left over", {"XDG_SESSION_TYPE=wayland"}, "no Wayland compositor"},
      {"X11 forced, in capitals", {"INPUT_AGENT_BACKEND=X11"}, "INPUT_AGENT_BACKEND=X11"},
  };
  for (const Case& c : cases) {
    for (bool verbose : {false, true}) {
      std::vector<std::string> variables = c.variables;
      variables.push_back("DISPLAY=" + display_.name());
      variables.push_back("XDG_RUNTIME_DIR=/nonexistent");
      if (verbose) variables.push_back("INPUT_AGENT_VERBOSE=1");
      agent_ = start_child(AGENT_PATH, {}, variables, kChoosing);
      ASSERT_EQ(read_line(agent_.output), "READY\n") << c.name;
      EXPECT_EQ(observe(key("KeyW", true) + key("KeyW", false)), (Seen{"key down w", "key up w"}))
          << c.name;
      close_input(agent_);
      EXPECT_EQ(wait_for_exit(agent_), 0) << c.name;
      EXPECT_EQ(read_rest(agent_.output), "") << c.name;
      std::string said = read_rest(agent_.errors);
      if (verbose) {
        EXPECT_TRUE(said.starts_with(std::string("input-agent: backend x11: ") + c.why) &&
                    said.find('\n') == said.size() - 1)
            << c.name << ": " << said;
      } else {
        EXPECT_EQ(said, "") << c.name;
      }
      close_pipes(agent_);
      agent_ = Child();
    }
  }
}

TEST(X11AgentWithoutDisplay, RequiresAccessibilityWhenNoDisplayOpens) {
  for (std::vector<std::string> variables :
       {std::vector<std::string>{}, std::vector<std::string>{"DISPLAY=:9999"}}) {
    Child agent = start_child(AGENT_PATH, {}, variables, kChoosing);
    EXPECT_EQ(wait_for_exit(agent), 1);
    EXPECT_EQ(read_rest(agent.output), "ACCESSIBILITY_REQUIRED\n");
    EXPECT_EQ(read_rest(agent.errors), "");
    close_pipes(agent);
  }
}

}  // namespace
