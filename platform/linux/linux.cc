// The Linux agent's platform: the backend is chosen once, when the agent
// asks whether it may post input, and every later call goes to it.
//
// INPUT_AGENT_BACKEND=wayland, eis, uinput or x11 (in any case) forces one.
// Otherwise a Wayland session gets the Wayland backend (wlroots
// compositors), else the compositor's input server through libei (GNOME,
// KDE Plasma), else uinput; XTest there would reach only the X applications
// under XWayland. An X session gets X11, and with
// no display server at all (a text console) uinput is the one. A Wayland
// session whose compositor does not answer while an X server does is taken
// for an X session: its variables are often left over (in tmux or screen,
// under a service manager). With INPUT_AGENT_VERBOSE=1 the agent names the
// backend it chose, and why, on standard error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "keymap/keys.h"
#include "platform/linux/backend.h"
#include "platform/verbose.h"

namespace platform {
namespace {

struct Candidate {
  std::string_view name;
  const Backend* backend;
};

constexpr Candidate kCandidates[] = {
    {"wayland", &kWaylandBackend},
    {"eis", &kEisBackend},
    {"uinput", &kUinputBackend},
    {"x11", &kX11Backend},
};

struct Choice {
  const Backend* backend;
  std::string why;
};

std::string value_of(const char* variable) {
  const char* value = getenv(variable);
  return value ? value : "";
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

Choice forced(const std::string& name) {
  for (const Candidate& candidate : kCandidates) {
    if (!same_ignoring_case(candidate.name, name)) continue;
    if (candidate.backend->connect() == Reach::kReady) {
      return {candidate.backend, "INPUT_AGENT_BACKEND=" + name};
    }
    return {nullptr, "INPUT_AGENT_BACKEND=" + name + ", which cannot post input here"};
  }
  return {nullptr, "INPUT_AGENT_BACKEND=" + name + " names no backend (wayland, eis, uinput, x11)"};
}

// uinput, where the display server gives no better way.
Choice uinput_since(const std::string& reason) {
  if (kUinputBackend.connect() == Reach::kReady) return {&kUinputBackend, reason};
  return {nullptr, reason + ", and /dev/uinput cannot be opened"};
}

Choice choose() {
  if (std::string name = value_of("INPUT_AGENT_BACKEND"); !name.empty()) return forced(name);
  std::string display = "DISPLAY=" + value_of("DISPLAY");
  if (wayland_session()) {
    std::string session = "WAYLAND_DISPLAY=" + value_of("WAYLAND_DISPLAY") +
                          " XDG_SESSION_TYPE=" + value_of("XDG_SESSION_TYPE");
    Reach wayland = kWaylandBackend.connect();
    if (wayland == Reach::kReady) {
      return {&kWaylandBackend, "a Wayland session whose compositor makes virtual devices"};
    }
    if (wayland == Reach::kNobody && x_session() && kX11Backend.connect() == Reach::kReady) {
      return {&kX11Backend, "no Wayland compositor answers (" + session + "), the X server at " +
                                display + " does"};
    }
    if (wayland == Reach::kNobody) {
      return uinput_since("no Wayland compositor answers (" + session + ")");
    }
    // GNOME and KDE Plasma: their input server, which the person grants
    // access to; a refusal is theirs to make, so uinput does not go round it.
    Reach eis = kEisBackend.connect();
    if (eis == Reach::kReady) return {&kEisBackend, "the compositor's input server (EIS)"};
    if (eis == Reach::kRefused) {
      return {nullptr, "the compositor's input server (EIS) did not let the agent in"};
    }
    return uinput_since(
        "the Wayland compositor offers neither virtual devices nor an input server");
  }
  if (x_session()) {
    Reach x = kX11Backend.connect();
    if (x == Reach::kReady) return {&kX11Backend, "an X session (" + display + ")"};
    return {nullptr, x == Reach::kNobody ? "no X server answers at " + display
                                         : "the X server at " + display + " lacks XTest"};
  }
  return uinput_since("no display server");
}

const Backend* chosen = nullptr;

std::string_view name_of(const Backend* backend) {
  for (const Candidate& candidate : kCandidates) {
    if (candidate.backend == backend) return candidate.name;
  }
  return "none";
}

}  // namespace

bool wayland_session() {
  return !value_of("WAYLAND_DISPLAY").empty() || value_of("XDG_SESSION_TYPE") == "wayland";
}

bool x_session() {
  return !value_of("DISPLAY").empty();
}

bool trusted() {
  Choice choice = choose();
  chosen = choice.backend;
  if (verbose()) {
    fprintf(stderr, "input-agent: backend %.*s: %s\n", static_cast<int>(name_of(chosen).size()),
            name_of(chosen).data(), choice.why.c_str());
  }
  return chosen != nullptr;
}

Bounds main_display() {
  return chosen->main_display();
}

// As the backend that would be chosen addresses them, read as any client of
// the display server reads them: a Wayland session's outputs (where EIS
// posts too, so no grant is asked for), else an X session's monitors.
std::vector<Display> displays() {
  bool x_forced = same_ignoring_case(value_of("INPUT_AGENT_BACKEND"), "x11");
  if (!x_forced && wayland_session() && kWaylandGeometry.connect()) {
    return kWaylandGeometry.displays();
  }
  if (x_session() && kX11Geometry.connect()) return kX11Geometry.displays();
  return {};
}

std::optional<Bounds> display_named(std::string_view id) {
  return chosen->display_named(id);
}

std::optional<Point> cursor() {
  return chosen->cursor();
}

// X11 and Wayland applications count clicks from event times themselves.
std::chrono::milliseconds double_click_interval() {
  return std::chrono::milliseconds(500);
}

// A repeat goes out as the key going up and down again: the X server and the
// kernel drop a press of a key already down, and every display server and
// the console take up-and-down for another press. A modifier's or Caps
// Lock's repeat changes nothing, as when a real one is held.
void post_key(uint16_t code, bool down, bool repeat, uint64_t mask) {
  if (repeat) {
    if (!key_repeats(code)) return;
    chosen->post_key(code, false, mask);
  }
  chosen->post_key(code, down, mask);
}

void post_mouse(uint32_t type, Point point, uint32_t button, uint64_t mask, int64_t clicks) {
  chosen->post_mouse(type, point, button, mask, clicks);
}

void post_motion(uint32_t type, double dx, double dy, uint32_t button, uint64_t mask,
                 int64_t clicks) {
  chosen->post_motion(type, dx, dy, button, mask, clicks);
}

void post_wheel(int32_t vertical, int32_t horizontal) {
  chosen->post_wheel(vertical, horizontal);
}

void post_text(const char32_t* characters, size_t count) {
  chosen->post_text(characters, count);
}

void on_input() {
  chosen->on_input();
}

std::optional<std::chrono::milliseconds> idle_bound() {
  return chosen->idle_bound();
}

void on_idle() {
  chosen->on_idle();
}

bool flush() {
  return chosen->flush();
}

const char* session_end() {
  return chosen->session_end();
}

int session_connection() {
  return chosen->session_connection();
}

const char* await_session_end(int quit) {
  return chosen->await_session_end(quit);
}

void finish() {
  chosen->finish();
}

}  // namespace platform
