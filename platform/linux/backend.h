// Where one executable carries several backends (Linux: Wayland, uinput,
// X11), each backend file fills in one of these tables with its own
// functions, and the choice between them is made once, at start, in
// platform/linux/linux.cc.
#pragma once

#include "platform/linux/typing.h"
#include "platform/platform.h"

namespace platform {

// What a backend found when it connected.
enum class Reach {
  kNobody,   // no display server answered where the session's variables say
  kRefused,  // the system answered but takes no input from this backend
  kReady,
};

struct Backend {
  // Connects and reports whether this backend can post input here; one that
  // is not ready is not used further.
  Reach (*connect)();
  Bounds (*main_display)();
  std::optional<Bounds> (*display_named)(std::string_view id);
  std::optional<Point> (*cursor)();
  void (*post_key)(uint16_t code, bool down, uint64_t mask);
  void (*post_mouse)(uint32_t type, Point point, uint32_t button, uint64_t mask, int64_t clicks);
  void (*post_motion)(uint32_t type, double dx, double dy, uint32_t button, uint64_t mask,
                      int64_t clicks);
  void (*post_wheel)(int32_t vertical, int32_t horizontal);
  void (*post_text)(const char32_t* characters, size_t count);
  void (*on_input)();
  std::optional<std::chrono::milliseconds> (*idle_bound)();
  void (*on_idle)();
  bool (*flush)();
  const char* (*session_end)();
  int (*session_connection)();
  const char* (*await_session_end)(int quit);
  void (*finish)();
};

// For a backend with nothing of its own to finish when input stops.
inline std::optional<std::chrono::milliseconds> never_idle() {
  return std::nullopt;
}
inline void nothing_when_idle() {}

// For a backend whose session ends with its connection alone.
inline const char* nothing_else_ends_it(int) {
  return nullptr;
}

extern const Backend kX11Backend;
extern const Backend kWaylandBackend;
extern const Backend kUinputBackend;
extern const Backend kEisBackend;

// The display layout as any client of a display server reads it, for the
// uinput backend, which posts below the display server.
struct Geometry {
  // Connects, asking for nothing but the layout; false when no server answers.
  bool (*connect)();
  Bounds (*main_display)();
  // Every display, as platform::displays() lists them, and one by its name.
  std::vector<Display> (*displays)();
  std::optional<Bounds> (*display_named)(std::string_view id);
  // The box around all screens, which an absolute device's range spans.
  Bounds (*desktop)();
  // Where the pointer is, where the server tells (X11).
  std::optional<Point> (*cursor)();
  void (*on_input)();
  // How the session's keymap types each character, kept up to date with
  // it; empty when it cannot be read.
  const TypingTable& (*typing)();
  // The display server's connection (platform::session_connection).
  int (*session_connection)();
};

extern const Geometry kX11Geometry;
extern const Geometry kWaylandGeometry;

// Whether this process runs in a Wayland session, or in an X session.
bool wayland_session();
bool x_session();

}  // namespace platform
