// The Linux agent's platform: the backend is chosen once, when the agent
// asks whether it may post input, and every later call goes to it.
//
// INPUT_AGENT_BACKEND=wayland, uinput or x11 forces one. Otherwise a Wayland
// session gets the Wayland backend, else uinput (GNOME and KDE Plasma offer
// no virtual-input protocol); XTest there would reach only the X applications
// under XWayland. An X session keeps XTest, and with no display server at all
// (a text console) uinput is the one.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "keymap/keys.h"
#include "platform/backend.h"

namespace platform {
namespace {

struct Candidate {
  std::string_view name;
  const Backend* backend;
};

constexpr Candidate kCandidates[] = {
    {"wayland", &kWaylandBackend},
    {"uinput", &kUinputBackend},
    {"x11", &kX11Backend},
};

bool set(const char* variable) {
  const char* value = getenv(variable);
  return value && *value;
}

// Whether to try the backend `name` in this session.
bool wanted(std::string_view name) {
  if (const char* forced = getenv("INPUT_AGENT_BACKEND"); forced && *forced) {
    return name == forced;
  }
  if (name == "wayland") return wayland_session();
  if (name == "uinput") return wayland_session() || !x_session();
  if (name == "x11") return !wayland_session() && x_session();
  return false;
}

const Backend* choose() {
  for (const Candidate& candidate : kCandidates) {
    if (wanted(candidate.name) && candidate.backend->usable()) return candidate.backend;
  }
  return nullptr;
}

const Backend* chosen = nullptr;

}  // namespace

bool wayland_session() {
  const char* type = getenv("XDG_SESSION_TYPE");
  return set("WAYLAND_DISPLAY") || (type && strcmp(type, "wayland") == 0);
}

bool x_session() {
  return set("DISPLAY");
}

bool trusted() {
  chosen = choose();
  return chosen != nullptr;
}

Bounds main_display() {
  return chosen->main_display();
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

void post_wheel(int32_t pixels) {
  chosen->post_wheel(pixels);
}

bool flush() {
  return chosen->flush();
}

void finish() {
  chosen->finish();
}

}  // namespace platform
