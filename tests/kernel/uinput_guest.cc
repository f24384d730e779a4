// The uinput backend in a real Linux kernel: this program is the guest's
// test, run by tests/kernel/run in a minimal QEMU machine with no display
// server. It starts input-agent with pipes, reads what arrives on the event
// nodes of the devices the agent made (found by name in sysfs), and prints
// "ok - …" or "not ok - …" per case and "N passed, M failed" at the end.
//
//   uinput_guest AGENT UINPUT_MODULE WAYLAND_SEAT
#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>
// The XKB header is C, with a member named `explicit`, a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "desktop_commands.h"

extern char** environ;

namespace {

using Lines = Seen;

int passed = 0, failed = 0;

void check(const std::string& name, const Lines& got, const Lines& expected) {
  if (got == expected) {
    printf("ok - %s\n", name.c_str());
    ++passed;
    return;
  }
  printf("not ok - %s\n", name.c_str());
  // Where they part, and a little of each from there.
  size_t from =
      std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).first - got.begin();
  for (auto [label, lines] : {std::pair{"got", &got}, std::pair{"expected", &expected}}) {
    printf("  %s (%zu lines, from line %zu):", label, lines->size(), from);
    for (size_t i = from; i < std::min(from + 12, lines->size()); ++i)
      printf(" [%s]", (*lines)[i].c_str());
    printf("\n");
  }
  ++failed;
}

struct Agent {
  pid_t pid = -1;
  int input = -1;
  int output = -1;
};

Agent start(const char* path, std::vector<const char*> arguments = {}) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  arguments.insert(arguments.begin(), path);
  arguments.push_back(nullptr);
  Agent agent;
  posix_spawn(&agent.pid, path, &actions, nullptr, const_cast<char**>(arguments.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  agent.input = in[1];
  agent.output = out[0];
  return agent;
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

void send(const Agent& agent, const std::string& text) {
  if (write(agent.input, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    printf("# writing to the agent failed\n");
  }
}

// The wait status, or -1 when the agent did not end within 20 s.
int end_of(Agent& agent) {
  for (int i = 0; i < 2000; ++i) {
    int status;
    if (waitpid(agent.pid, &status, WNOHANG) == agent.pid) return status;
    usleep(10000);
  }
  kill(agent.pid, SIGKILL);
  waitpid(agent.pid, nullptr, 0);
  return -1;
}

// The wait status, or -1 when the agent did not end by itself within
// `patience`.
int end_within(Agent& agent, std::chrono::milliseconds patience) {
  auto deadline = std::chrono::steady_clock::now() + patience;
  int status;
  while (waitpid(agent.pid, &status, WNOHANG) != agent.pid) {
    if (std::chrono::steady_clock::now() > deadline) return -1;
    usleep(2000);
  }
  return status;
}

// The event node of the input device called `name`, opened for reading.
int open_device(const std::string& name) {
  DIR* folder = opendir("/sys/class/input");
  int fd = -1;
  while (dirent* entry = folder ? readdir(folder) : nullptr) {
    std::string node = entry->d_name;
    if (!node.starts_with("event")) continue;
    std::string found;
    std::getline(std::ifstream("/sys/class/input/" + node + "/device/name"), found);
    if (found == name) fd = open(("/dev/input/" + node).c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (folder) closedir(folder);
  return fd;
}

// What arrives on `fd` until it has been quiet for a while, or until
// `enough` lines have come: "KEY 42 1", "ABS 0 32768", "REL 8 1" (reports
// left out).
Lines events(int fd, size_t enough = SIZE_MAX) {
  Lines seen;
  pollfd ready{fd, POLLIN, 0};
  // Many events a read, so that the reader, on an emulated processor, keeps
  // up with the kernel, which keeps 64 events for a reader that falls
  // behind; but none past `enough`, which belong to the next check.
  input_event events[64];
  while (seen.size() < enough && poll(&ready, 1, 500) == 1) {
    size_t wanted = std::min<size_t>(std::size(events), enough - seen.size());
    ssize_t got = read(fd, events, wanted * sizeof(input_event));
    if (got <= 0) break;
    for (const input_event& event : std::span(events, got / sizeof(input_event))) {
      const char* type = event.type == EV_KEY   ? "KEY"
                         : event.type == EV_ABS ? "ABS"
                         : event.type == EV_REL ? "REL"
                                                : nullptr;
      if (type) {
        seen.push_back(std::string(type) + " " + std::to_string(event.code) + " " +
                       std::to_string(event.value));
      }
    }
  }
  return seen;
}

Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string pressed(int code, int value) {
  return "KEY " + std::to_string(code) + " " + std::to_string(value);
}

// Every key of the table, by its KeyboardEvent.code, and the evdev key at the
// same position.
const std::pair<const char*, int> kKeys[] = {
    {"KeyA", KEY_A},
    {"KeyB", KEY_B},
    {"KeyC", KEY_C},
    {"KeyD", KEY_D},
    {"KeyE", KEY_E},
    {"KeyF", KEY_F},
    {"KeyG", KEY_G},
    {"KeyH", KEY_H},
    {"KeyI", KEY_I},
    {"KeyJ", KEY_J},
    {"KeyK", KEY_K},
    {"KeyL", KEY_L},
    {"KeyM", KEY_M},
    {"KeyN", KEY_N},
    {"KeyO", KEY_O},
    {"KeyP", KEY_P},
    {"KeyQ", KEY_Q},
    {"KeyR", KEY_R},
    {"KeyS", KEY_S},
    {"KeyT", KEY_T},
    {"KeyU", KEY_U},
    {"KeyV", KEY_V},
    {"KeyW", KEY_W},
    {"KeyX", KEY_X},
    {"KeyY", KEY_Y},
    {"KeyZ", KEY_Z},
    {"Digit0", KEY_0},
    {"Digit1", KEY_1},
    {"Digit2", KEY_2},
    {"Digit3", KEY_3},
    {"Digit4", KEY_4},
    {"Digit5", KEY_5},
    {"Digit6", KEY_6},
    {"Digit7", KEY_7},
    {"Digit8", KEY_8},
    {"Digit9", KEY_9},
    {"Minus", KEY_MINUS},
    {"Equal", KEY_EQUAL},
    {"BracketLeft", KEY_LEFTBRACE},
    {"BracketRight", KEY_RIGHTBRACE},
    {"Backslash", KEY_BACKSLASH},
    {"Semicolon", KEY_SEMICOLON},
    {"Quote", KEY_APOSTROPHE},
    {"Backquote", KEY_GRAVE},
    {"Comma", KEY_COMMA},
    {"Period", KEY_DOT},
    {"Slash", KEY_SLASH},
    {"Enter", KEY_ENTER},
    {"Tab", KEY_TAB},
    {"Space", KEY_SPACE},
    {"Backspace", KEY_BACKSPACE},
    {"Escape", KEY_ESC},
    {"ShiftLeft", KEY_LEFTSHIFT},
    {"ShiftRight", KEY_RIGHTSHIFT},
    {"ControlLeft", KEY_LEFTCTRL},
    {"ControlRight", KEY_RIGHTCTRL},
    {"AltLeft", KEY_LEFTALT},
    {"AltRight", KEY_RIGHTALT},
    {"MetaLeft", KEY_LEFTMETA},
    {"MetaRight", KEY_RIGHTMETA},
    {"F1", KEY_F1},
    {"F2", KEY_F2},
    {"F3", KEY_F3},
    {"F4", KEY_F4},
    {"F5", KEY_F5},
    {"F6", KEY_F6},
    {"F7", KEY_F7},
    {"F8", KEY_F8},
    {"F9", KEY_F9},
    {"F10", KEY_F10},
    {"F11", KEY_F11},
    {"F12", KEY_F12},
    {"Insert", KEY_INSERT},
    {"Delete", KEY_DELETE},
    {"Home", KEY_HOME},
    {"End", KEY_END},
    {"PageUp", KEY_PAGEUP},
    {"PageDown", KEY_PAGEDOWN},
    {"ArrowLeft", KEY_LEFT},
    {"ArrowRight", KEY_RIGHT},
    {"ArrowUp", KEY_UP},
    {"ArrowDown", KEY_DOWN},
    {"CapsLock", KEY_CAPSLOCK},
};
static_assert(std::size(kKeys) == 83);

struct Devices {
  int keyboard = -1, pointer = -1, mouse = -1;
};

Devices open_devices() {
  return {open_device("input-agent keyboard"), open_device("input-agent pointer"),
          open_device("input-agent mouse")};
}

// Relative motion goes out on the mouse, in whole pixels, the fractions
// carried; a drag presses the pointer's button; an absolute move after it
// is exact.
void relative_motion(const Agent& agent, const Devices& devices) {
  auto repeat = [](const std::string& line, int times) {
    std::string lines;
    for (int i = 0; i < times; ++i) lines += line;
    return lines;
  };
  struct Case {
    const char* name;
    std::string commands;
    Lines mouse;
  } cases[] = {
      {"one move", movement(30, -20), {"REL 0 30", "REL 1 -20"}},
      {"each axis alone",
       R"({"type":"move","movementX":15})"
       "\n"
       R"({"type":"move","movementY":-5})"
       "\n",
       {"REL 0 15", "REL 1 -5"}},
      {"twenty moves of -100", repeat(movement(-100, 0), 20), Lines(20, "REL 0 -100")},
      {"four half pixels make two", repeat(movement(0.5, 0), 4), {"REL 0 1", "REL 0 1"}},
      {"a string and an out-of-range value dropped",
       R"({"type":"move","movementX":"5"})"
       "\n"
       R"({"type":"move","movementX":10001})"
       "\n" +
           movement(0, 1),
       {"REL 1 1"}},
  };
  for (const Case& c : cases) {
    send(agent, c.commands);
    check("relative motion: " + std::string(c.name), events(devices.mouse), c.mouse);
  }
  send(agent,
       button(0.25, 0.5, 0, true) + movement(10, 0) + button(0.25, 0.5, 0, false) + move(0.5, 0.5));
  check("a drag by relative motion: the mouse's motion", events(devices.mouse), {"REL 0 10"});
  check("a drag by relative motion: the pointer's button, then an absolute move",
        events(devices.pointer),
        {"ABS 0 16384", "ABS 1 32767", "ABS 1 32768", pressed(BTN_LEFT, 1), "ABS 0 16383",
         "ABS 0 16384", "ABS 1 32767", "ABS 1 32768", pressed(BTN_LEFT, 0), "ABS 0 32768",
         "ABS 1 32767", "ABS 1 32768"});
  send(agent, button(0.5, 0.5, 0, true) + movement(5, 5) + release());
  check("a release of everything after relative motion: the mouse's motion", events(devices.mouse),
        {"REL 0 5", "REL 1 5"});
  check("a release of everything after relative motion: the button up in place",
        events(devices.pointer),
        {"ABS 0 32767", "ABS 0 32768", "ABS 1 32767", "ABS 1 32768", pressed(BTN_LEFT, 1),
         pressed(BTN_LEFT, 0)});
}

void commands(const Agent& agent, const Devices& devices) {
  // A few keys at a time: the kernel keeps only so many events for a reader
  // that falls behind (this guest runs on an emulated processor).
  constexpr size_t kKeysAtATime = 8;
  Lines expected, seen;
  for (size_t first = 0; first < std::size(kKeys); first += kKeysAtATime) {
    std::string batch;
    size_t last = std::min(first + kKeysAtATime, std::size(kKeys));
    for (size_t i = first; i < last; ++i) {
      batch += key(kKeys[i].first, true) + key(kKeys[i].first, false);
      expected.push_back(pressed(kKeys[i].second, 1));
      expected.push_back(pressed(kKeys[i].second, 0));
    }
    send(agent, batch);
    Lines arrived = events(devices.keyboard, 2 * (last - first));
    seen.insert(seen.end(), arrived.begin(), arrived.end());
  }
  Lines extra = events(devices.keyboard);
  seen.insert(seen.end(), extra.begin(), extra.end());
  check("every key at its evdev code", seen, expected);

  // The kernel drops a press of a key already down: a repeat must reach it
  // as the key going up and down again.
  for (const RepeatCase& c : repeat_cases()) {
    send(agent, c.commands);
    std::this_thread::sleep_for(c.held_for);
    send(agent, c.then);
    check("repeats: " + std::string(c.name), events(devices.keyboard), c.evdev);
  }

  // With no display server there is no keymap to type text with.
  send(agent, text("ab") + key("KeyC", true) + key("KeyC", false));
  check("no text without a display server's keymap", events(devices.keyboard),
        {pressed(KEY_C, 1), pressed(KEY_C, 0)});

  send(agent,
       key("ShiftLeft", true) + key("KeyA", true) + key("KeyA", false) + key("ShiftLeft", false));
  check(
      "Shift held around a key", events(devices.keyboard),
      {pressed(KEY_LEFTSHIFT, 1), pressed(KEY_A, 1), pressed(KEY_A, 0), pressed(KEY_LEFTSHIFT, 0)});

  // With no display server the main display is the device's whole range.
  // The kernel passes on only values that change, and the axes start at 0,
  // so a value the axis has already goes after its neighbour: every
  // positioned command's point reaches readers, whatever the person's mouse
  // did since.
  send(agent, move(0, 0) + move(0.5, 0.5) + move(1, 1) + move(1, 0));
  check("a first move to 0,0, then 0.5 and 1 over the whole range", events(devices.pointer),
        {"ABS 0 1", "ABS 0 0", "ABS 1 1", "ABS 1 0", "ABS 0 32768", "ABS 1 32768", "ABS 0 65535",
         "ABS 1 65535", "ABS 0 65534", "ABS 0 65535", "ABS 1 0"});

  Lines again = {"ABS 0 16383", "ABS 0 16384", "ABS 1 32767", "ABS 1 32768"};
  send(agent, button(0.25, 0.5, 0, true) + button(0.25, 0.5, 0, false) +
                  button(0.25, 0.5, 1, true) + button(0.25, 0.5, 1, false) +
                  button(0.25, 0.5, 2, true) + button(0.25, 0.5, 2, false));
  check("each button, where the command says, its point again each time", events(devices.pointer),
        Lines{"ABS 0 16384", "ABS 1 32768", pressed(BTN_LEFT, 1)} + again +
            Lines{pressed(BTN_LEFT, 0)} + again + Lines{pressed(BTN_MIDDLE, 1)} + again +
            Lines{pressed(BTN_MIDDLE, 0)} + again + Lines{pressed(BTN_RIGHT, 1)} + again +
            Lines{pressed(BTN_RIGHT, 0)});

  send(agent, button(0.25, 0.5, 0, true) + move(0.75, 0.5) + button(0.75, 0.5, 0, false));
  check("a drag", events(devices.pointer),
        again + Lines{pressed(BTN_LEFT, 1), "ABS 0 49151", "ABS 1 32767", "ABS 1 32768",
                      "ABS 0 49150", "ABS 0 49151", "ABS 1 32767", "ABS 1 32768",
                      pressed(BTN_LEFT, 0)});

  // A step is 100 pixels; leftovers carry while the direction stays.
  send(agent, wheel(-100) + wheel(250) + wheel(40) + wheel(20) + wheel(-30) + wheel(-80));
  check("the wheel, in steps and high resolution, carrying what is left", events(devices.pointer),
        {"REL 8 1", "REL 11 120", "REL 8 -2", "REL 11 -240", "REL 8 -1", "REL 11 -120", "REL 8 1",
         "REL 11 120"});

  send(agent, sideways_wheel_script());
  check("the sideways wheel, positive right, both axes in one report", events(devices.pointer),
        {"REL 6 -1", "REL 12 -120", "REL 6 2", "REL 12 240", "REL 6 1", "REL 12 120", "REL 8 -1",
         "REL 11 -120", "REL 6 -1", "REL 12 -120"});

  relative_motion(agent, devices);
}

// Everything `fd` reports until its device goes away, read as it comes: a
// device that is gone has its unread events dropped.
Lines events_until_gone(int fd) {
  Lines seen;
  input_event event;
  while (read(fd, &event, sizeof event) == sizeof event) {
    if (event.type == EV_KEY) seen.push_back(pressed(event.code, event.value));
  }
  return seen;
}

// Holds Shift and the left button, then ends the agent by `how` (0: closes
// its input) while reading both devices; returns the keys and buttons
// reported after that, and the agent's wait status.
std::pair<Lines, int> held_then_ended(const char* agent_path, int how) {
  Agent agent = start(agent_path);
  read_line(agent.output);
  Devices devices = open_devices();
  send(agent, key("ShiftLeft", true) + button(0.5, 0.5, 0, true));
  events(devices.keyboard);
  events(devices.pointer);
  Lines keyboard, pointer;
  std::thread keyboard_reader([&] { keyboard = events_until_gone(devices.keyboard); });
  std::thread pointer_reader([&] { pointer = events_until_gone(devices.pointer); });
  usleep(100000);  // both readers waiting in read()
  if (how == 0) {
    close(agent.input);
  } else {
    kill(agent.pid, how);
  }
  int status = end_of(agent);
  keyboard_reader.join();
  pointer_reader.join();
  keyboard.insert(keyboard.end(), pointer.begin(), pointer.end());
  close(devices.keyboard);
  close(devices.pointer);
  close(devices.mouse);
  if (how != 0) close(agent.input);
  close(agent.output);
  return {keyboard, status};
}

// Runs `argv` and waits for it; its exit status.
int run(std::vector<const char*> argv) {
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv.data()), environ) != 0)
    return -1;
  int status;
  waitpid(pid, &status, 0);
  return status;
}

// The keys that type `character` on a keyboard: with Shift around the key
// when `shifted`.
Lines typed(int key, bool shifted = false) {
  Lines lines{pressed(key, 1), pressed(key, 0)};
  if (shifted) {
    lines.insert(lines.begin(), pressed(KEY_LEFTSHIFT, 1));
    lines.push_back(pressed(KEY_LEFTSHIFT, 0));
  }
  return lines;
}

// The session's display server killed under the agent, which holds Shift
// and has just been sent a long text: the agent ends by itself, with the
// status that says so, stops typing (the rest would reach whatever comes
// next on the machine) and lets go of Shift through the kernel, which still
// takes it.
void check_server_gone(const std::string& server, pid_t pid, Agent& agent, const Devices& devices) {
  send(agent, key("ShiftLeft", true));
  check("Shift held in the " + server + "'s session", events(devices.keyboard, 1),
        {pressed(KEY_LEFTSHIFT, 1)});
  send(agent, text(std::string(970, 'a')));
  check("the text begins in the " + server + "'s session", events(devices.keyboard, 2),
        {pressed(KEY_LEFTSHIFT, 0), pressed(KEY_A, 1)});
  // Read as they come: what is unread when the device goes is gone with it.
  Lines released;
  std::thread reader([&] { released = events_until_gone(devices.keyboard); });
  usleep(20000);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  int status = end_within(agent, kSessionEndBound);
  if (status == -1) end_of(agent);  // killed, so that its devices go
  reader.join();
  check("the " + server + " gone: the agent ends by itself, status 2",
        {std::to_string(status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1)}, {"2"});
  size_t typed = 1 + std::count(released.begin(), released.end(), pressed(KEY_A, 1));
  check("the " + server + " gone: the text cut short", {std::to_string(typed < 970)}, {"1"});
  check("the " + server + " gone: Shift let go last", {released.empty() ? "" : released.back()},
        {pressed(KEY_LEFTSHIFT, 0)});
}

// Locks the X server's keyboard in layout group `group`, as a person's
// switch of layout does; whether the server took it.
bool lock_group(uint8_t group) {
  xcb_connection_t* c = xcb_connect(":1", nullptr);
  bool locked = !xcb_connection_has_error(c);
  if (locked) {
    free(xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, 1, 0), nullptr));
    xcb_generic_error_t* error = xcb_request_check(
        c, xcb_xkb_latch_lock_state_checked(c, XCB_XKB_ID_USE_CORE_KBD, 0, 0, 1, group, 0, 0, 0));
    locked = !error;
    free(error);
  }
  xcb_disconnect(c);
  return locked;
}

// Text with the layout group in force, and through a key the controller
// holds, which goes up and down again for its character and stays down.
void text_with_a_second_layout_and_a_held_key(const Agent& agent, const Devices& devices) {
  check("setxkbmap -layout us,de",
        {std::to_string(run({"/usr/bin/setxkbmap", "-display", ":1", "-layout", "us,de"}))}, {"0"});
  for (uint8_t group : {1, 0}) {
    std::string name = "group " + std::to_string(group);
    check(name + " locked", {std::to_string(lock_group(group))}, {"1"});
    send(agent, text("yz"));
    check(name + ": its keys", events(devices.keyboard),
          group == 1 ? typed(KEY_Z) + typed(KEY_Y) : typed(KEY_Y) + typed(KEY_Z));
  }
  send(agent, key("KeyA", true) + text("ba") + key("KeyA", false));
  check("a held key stays down through text with its character", events(devices.keyboard),
        Lines{pressed(KEY_A, 1)} + typed(KEY_B) + Lines{pressed(KEY_A, 0), pressed(KEY_A, 1)} +
            Lines{pressed(KEY_A, 0)});
}

// The X server's monitors, which the agent lists and addresses: a point on
// one goes in at its place in the range, which spans the whole screen.
void displays_in_an_x_session(const char* agent_path, const Agent& agent, const Devices& devices) {
  check("a second monitor set",
        {std::to_string(run({"/usr/bin/xrandr", "-display", ":1", "--setmonitor", "corner",
                             "512/135x384/101+512+384", "none"}))},
        {"0"});
  Agent lister = start(agent_path, {"--displays"});
  Lines listed;
  for (std::string line; !(line = read_line(lister.output)).empty();) listed.push_back(line);
  // Xvfb's own monitor, over the screen, is not primary: the first is main.
  check("the monitors listed, the main one first", listed,
        {R"({"id":"corner","x":512,"y":384,"width":512,"height":384,"scale":1,"main":true})"
         "\n",
         R"({"id":"screen","x":0,"y":0,"width":1280,"height":1024,"scale":1,"main":false})"
         "\n"});
  check("listing ends with status 0", {std::to_string(end_of(lister))}, {"0"});
  close(lister.input);
  close(lister.output);
  send(agent, move_on("corner", 0, 0) + move_on("corner", 1, 1) + move_on("corner", 0.5, 0.5) +
                  move_on("elsewhere", 0, 0) + move(1, 0));
  check("the monitor's first, last and middle pixel; an unknown one dropped; the main one's",
        events(devices.pointer, 8),
        {"ABS 0 26215", "ABS 1 24576", "ABS 0 52378", "ABS 1 49088", "ABS 0 39322", "ABS 1 36864",
         "ABS 0 52378", "ABS 1 24576"});
}

// Text in an X session, whose server's keymap the agent reads: Xvfb here,
// with the US layout and then German (setxkbmap), which the running agent
// follows. Characters the layout cannot type on a key's first two levels
// are left out; the agent's held Shift is up while text is typed.
void text_in_an_x_session(const char* agent_path) {
  pid_t server;
  const char* xvfb[] = {"/usr/bin/Xvfb", ":1",        "-screen", "0",
                        "1280x1024x24",  "-nolisten", "tcp",     nullptr};
  posix_spawn(&server, xvfb[0], nullptr, nullptr, const_cast<char**>(xvfb), environ);
  struct stat found;
  for (int i = 0; i < 1200 && stat("/tmp/.X11-unix/X1", &found) != 0; ++i) usleep(50000);
  setenv("DISPLAY", ":1", 1);
  setenv("INPUT_AGENT_BACKEND", "uinput", 1);
  Agent agent = start(agent_path);
  check("READY in an X session", {read_line(agent.output)}, {"READY\n"});
  Devices devices = open_devices();

  send(agent,
       key("ShiftLeft", true) + text("aaA1!\u00e9\u20ac\U0001F600\n\t") + key("ShiftLeft", false));
  check("US text with Shift held: shifted levels, Return, Tab; what the layout lacks left out",
        events(devices.keyboard),
        Lines{pressed(KEY_LEFTSHIFT, 1), pressed(KEY_LEFTSHIFT, 0)} + typed(KEY_A) + typed(KEY_A) +
            typed(KEY_A, true) + typed(KEY_1) + typed(KEY_1, true) + typed(KEY_ENTER) +
            typed(KEY_TAB) + Lines{pressed(KEY_LEFTSHIFT, 1), pressed(KEY_LEFTSHIFT, 0)});

  std::string long_text;
  Lines long_keys;
  for (int i = 0; i < 485; ++i) {  // the line stays within 1000 characters
    long_text += "aB";
    long_keys = long_keys + typed(KEY_A) + typed(KEY_B, true);
  }
  send(agent, text(long_text));
  check("970 characters in one command, none lost", events(devices.keyboard), long_keys);

  check("setxkbmap de", {std::to_string(run({"/usr/bin/setxkbmap", "-display", ":1", "de"}))},
        {"0"});
  send(agent, text("zy\u00e4\u00df\u20ac"));
  check("after setxkbmap de: the German keys", events(devices.keyboard),
        typed(KEY_Y) + typed(KEY_Z) + typed(KEY_APOSTROPHE) + typed(KEY_MINUS));

  text_with_a_second_layout_and_a_held_key(agent, devices);
  displays_in_an_x_session(agent_path, agent, devices);
  check_server_gone("X server", server, agent, devices);
  close(devices.keyboard);
  close(devices.pointer);
  close(devices.mouse);
  close(agent.input);
  close(agent.output);
  unsetenv("DISPLAY");
  unsetenv("INPUT_AGENT_BACKEND");
}

// Text in a Wayland session: the agent reads the keymap of the seat's
// keyboard, here from a display server with a seat alone (wayland_seat),
// which gives the German layout, then the US one as when the person picks
// another.
void text_in_a_wayland_session(const char* agent_path, const char* seat_path) {
  mkdir("/tmp/runtime", 0700);
  setenv("XDG_RUNTIME_DIR", "/tmp/runtime", 1);
  Agent seat = start(seat_path, {"de", "us"});
  std::string socket = read_line(seat.output);
  if (!socket.empty()) socket.pop_back();
  setenv("WAYLAND_DISPLAY", socket.c_str(), 1);
  setenv("INPUT_AGENT_BACKEND", "uinput", 1);
  Agent agent = start(agent_path);
  check("READY in a Wayland session", {read_line(agent.output)}, {"READY\n"});
  Devices devices = open_devices();

  send(agent, text("zy\u00e4\u00df\u20ac"));
  check("the seat's German keymap: its keys; the euro sign, AltGr's, left out",
        events(devices.keyboard),
        typed(KEY_Y) + typed(KEY_Z) + typed(KEY_APOSTROPHE) + typed(KEY_MINUS));
  kill(seat.pid, SIGUSR1);
  usleep(200000);
  send(agent, text("zy"));
  check("a new keymap from the seat is followed", events(devices.keyboard),
        typed(KEY_Z) + typed(KEY_Y));

  check_server_gone("Wayland compositor", seat.pid, agent, devices);
  close(devices.keyboard);
  close(devices.pointer);
  close(devices.mouse);
  close(agent.input);
  close(agent.output);
  close(seat.input);
  close(seat.output);
  for (const char* variable : {"XDG_RUNTIME_DIR", "WAYLAND_DISPLAY", "INPUT_AGENT_BACKEND"})
    unsetenv(variable);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: uinput_guest AGENT UINPUT_MODULE WAYLAND_SEAT\n");
    return 2;
  }
  const char* agent_path = argv[1];
  setvbuf(stdout, nullptr, _IOLBF, 0);

  // Before the module is loaded there is no /dev/uinput.
  Agent refused = start(agent_path);
  std::string said = read_line(refused.output);
  int status = end_of(refused);
  check("without /dev/uinput", {said, std::to_string(WEXITSTATUS(status))},
        {"ACCESSIBILITY_REQUIRED\n", "1"});

  std::string load = std::string("insmod ") + argv[2];
  if (system(load.c_str()) != 0) printf("# %s failed\n", load.c_str());

  Agent agent = start(agent_path);
  check("READY with /dev/uinput", {read_line(agent.output)}, {"READY\n"});
  Devices devices = open_devices();
  check("both devices made", {std::to_string(devices.keyboard >= 0 && devices.pointer >= 0)},
        {"1"});
  commands(agent, devices);
  close(devices.keyboard);
  close(devices.pointer);
  close(devices.mouse);
  close(agent.input);
  close(agent.output);
  end_of(agent);

  const Lines released = {pressed(KEY_LEFTSHIFT, 0), pressed(BTN_LEFT, 0)};
  auto [at_end, end_status] = held_then_ended(agent_path, 0);
  check("release at the end of input", at_end, released);
  check("exit status 0 at the end of input", {std::to_string(end_status)}, {"0"});
  auto [on_term, term_status] = held_then_ended(agent_path, SIGTERM);
  check("release on SIGTERM", on_term, released);
  check("ended by SIGTERM", {std::to_string(WIFSIGNALED(term_status) ? WTERMSIG(term_status) : 0)},
        {std::to_string(SIGTERM)});
  // The kernel's own release, as the devices are destroyed.
  check("the kernel releases what a killed agent held", held_then_ended(agent_path, SIGKILL).first,
        released);

  text_in_an_x_session(agent_path);
  text_in_a_wayland_session(agent_path, argv[3]);

  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
