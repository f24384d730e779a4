// The Wayland backend's own header, for its files alone: the compositor's
// state, which they all work on, and the functions one file gives the
// others. wayland.cc holds the backend's table, connecting and the layout
// kept; wayland_connection.cc sending and waiting; wayland_outputs.cc the
// registry and the outputs; wayland_keys.cc the keymap and keys;
// wayland_text.cc text through keymaps of its own; wayland_pointer.cc the
// pointer and the wheel.
#pragma once

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/loaders/xkbcommon.h"
#include "platform/linux/typing.h"
#include "platform/motion.h"
#include "platform/platform.h"
#include "platform/wheel.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace wayland {

using platform::Bounds;
using platform::Point;

// How long the agent waits for the compositor where it can go on without an
// answer: the seat announcing the new devices at start, the compositor having
// taken the last requests at exit (so a stopped one does not keep it).
constexpr std::chrono::milliseconds kStartPatience{1000};
// How long applications get to ask for a keyboard and pointer once the seat
// has announced the agent's.
constexpr std::chrono::milliseconds kApplicationsCatchUp{50};
constexpr std::chrono::milliseconds kExitPatience{250};

struct Output {
  uint32_t name = 0;  // the registry's
  wl_output* output = nullptr;
  zxdg_output_v1* logical = nullptr;
  std::string id;                           // the compositor's name for it
  Bounds bounds{0, 0, 0, 0};                // logical, as last completed
  Bounds pending{0, 0, 0, 0};               // until the compositor says it is done
  int32_t mode_width = 0, mode_height = 0;  // the current mode's, in device pixels
};

// The keymap the virtual keyboard has, and the state the agent keeps of it.
struct Xkb {
  const Xkbcommon* library = nullptr;
  std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context{nullptr, nullptr};
  std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap{nullptr, nullptr};
  std::unique_ptr<xkb_state, decltype(&xkb_state_unref)> state{nullptr, nullptr};
};

struct Modifiers {
  uint32_t depressed = 0, latched = 0, locked = 0, group = 0;
  bool operator==(const Modifiers&) const = default;
};

// A keymap's text in a memory file, as the compositor takes keymaps.
struct KeymapFile {
  int fd = -1;
  uint32_t size = 0;  // with the final NUL
  explicit KeymapFile(const std::string& text) {
    fd = memfd_create("input-agent-keymap", MFD_CLOEXEC);
    size = static_cast<uint32_t>(text.size() + 1);
    if (fd >= 0 && write(fd, text.c_str(), size) != static_cast<ssize_t>(size)) {
      close(fd);
      fd = -1;
    }
  }
  KeymapFile(const KeymapFile&) = delete;
  KeymapFile& operator=(const KeymapFile&) = delete;
  ~KeymapFile() {
    if (fd >= 0) close(fd);
  }
};

struct Compositor {
  wl_display* display = nullptr;
  wl_seat* seat = nullptr;
  uint32_t seat_capabilities = 0;
  std::string seat_keymap;       // the keymap of the seat's keyboard, when it had one
  platform::TypingTable typing;  // for uinput, from seat_keymap
  bool typing_asked = false, typing_read = false;
  zwp_virtual_keyboard_manager_v1* keyboard_manager = nullptr;
  zwlr_virtual_pointer_manager_v1* pointer_manager = nullptr;
  zxdg_output_manager_v1* output_manager = nullptr;
  std::vector<std::unique_ptr<Output>> outputs;  // in the order announced
  zwp_virtual_keyboard_v1* keyboard = nullptr;
  zwlr_virtual_pointer_v1* pointer = nullptr;
  Xkb xkb;
  // The keymap keys are typed with, in a file made once and given again
  // after each text.
  std::optional<KeymapFile> layout_file;
  std::vector<xkb_keysym_t> text_keysyms;         // the text keymap's, in key order
  bool text_keymap_given = false;                 // and not yet the layout's back
  std::chrono::steady_clock::time_point text_at;  // the last text's
  std::string text_keymap;                        // its text, the room kept
  std::string text_symbols;                       // the same
  Modifiers modifiers;                            // as last sent
  Bounds main_display{0, 0, 0, 0};
  Bounds layout{0, 0, 0, 0};  // all outputs' bounding box
  // Every output with a logical size, in the order announced, kept with the
  // layout so that a display named by a command is found without a request.
  std::vector<platform::Display> displays;
  // Where the pointer is, as far as the agent knows: put there by the last
  // absolute move, then moved by relative motion the way the compositor
  // moves it, which is only an estimate (a client's lock holds the pointer).
  std::optional<Point> last_point;
  bool point_estimated = false;
  MotionCarry motion;  // what relative motion has left below 1/256 pixel
  WheelCarry wheel, wheel_sideways;
  bool events_taken_in = false;  // since the last read of the agent's input
  // An output announced whose name and geometry have not come yet.
  bool output_unanswered = false;
  // How long a full socket is waited on once the agent is asked to stop.
  std::optional<std::chrono::steady_clock::time_point> stop_deadline;
};

extern Compositor the_compositor;

// wayland_connection.cc

uint32_t now_ms();
// Once the agent is asked to stop, every wait on the compositor ends by
// kExitPatience after the first that saw the request, in all (the final
// confirmation at exit gets a deadline of its own).
std::optional<std::chrono::steady_clock::time_point> stop_deadline(Compositor& c);
// Milliseconds left until `deadline`, at least 0.
int left_until(std::chrono::steady_clock::time_point deadline);
// Sends what libwayland has buffered, waiting while the socket is full: as
// long as the compositor takes, until the agent is asked to stop; from then
// on until the stop's deadline, so that a compositor that reads nothing
// (stopped, say) cannot keep it. False when it could not send everything.
bool send_all(Compositor& c);
// Reads and handles what the compositor has sent, waiting at most `timeout`
// milliseconds for something to arrive (0: not at all).
void take_in_events(Compositor& c, int timeout);

// Waits, within `patience` (and the stop's deadline, once asked to stop),
// until `done` says so.
template <typename Done>
void await(Compositor& c, std::chrono::milliseconds patience, Done done) {
  auto deadline = std::chrono::steady_clock::now() + patience;
  while (!done() && wl_display_get_error(c.display) == 0) {
    if (auto stop = stop_deadline(c)) deadline = std::min(deadline, *stop);
    int left = left_until(deadline);
    if (left == 0) return;
    take_in_events(c, left);
  }
}

// Waits for the answer to a sync request, which comes after the answers to
// everything sent before it.
void round_trip(Compositor& c, std::chrono::milliseconds patience = kStartPatience);

// wayland_outputs.cc

// The registry's globals: the seat, the managers, the outputs.
extern const wl_registry_listener kRegistryListener;

// wayland_keys.cc

// The seat's keyboard, asked for only to read the keymap the person uses.
extern const wl_keyboard_listener kSeatKeyboardListener;
std::string keymap_text(Compositor& c);
bool upload_keymap(Compositor& c, const KeymapFile& file);
bool set_keymap(Compositor& c, const std::string& text);
void announce_modifiers(Compositor& c, const Modifiers& to);
void post_key(uint16_t code, bool down, uint64_t);

// wayland_text.cc

void post_text(const char32_t* text, size_t count);
void end_text(Compositor& c);
std::optional<std::chrono::milliseconds> idle_bound();
void on_idle();

// wayland_pointer.cc

void post_mouse(uint32_t type, platform::Point point, uint32_t button, uint64_t, int64_t);
void post_motion(uint32_t, double dx, double dy, uint32_t, uint64_t, int64_t);
void post_wheel(int32_t vertical, int32_t horizontal);

}  // namespace wayland
