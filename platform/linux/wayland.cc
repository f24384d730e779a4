// The Wayland backend, for compositors that let a client make a virtual
// keyboard (zwp_virtual_keyboard_v1) and a virtual pointer
// (zwlr_virtual_pointer_v1): those built on wlroots, such as sway, Hyprland,
// river, labwc and Wayfire.
//
// Both devices are made at start, and the agent reports that it is ready
// only once the compositor has announced them on the seat: applications ask
// for a keyboard or pointer only then, and input sent before is lost. The
// outputs' names, modes and logical geometry (xdg-output) are kept from the
// compositor's events, taken in without waiting once per read of the agent's
// input; a command's requests go out together, in one write, and a full
// socket is waited on, never dropped.
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "keymap/evdev.h"
#include "platform/displays.h"
#include "platform/linux/backend.h"
#include "platform/linux/loaders/xkbcommon.h"
#include "platform/motion.h"
#include "platform/stop.h"
#include "platform/wheel.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace {

using platform::Bounds;
using platform::Point;

// A wheel step is reported with the 15 degrees a wheel notch turns.
constexpr double kDegreesPerStep = 15;

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
  MotionCarry motion;  // in wl_fixed's units, 1/256 pixel
  WheelCarry wheel, wheel_sideways;
  bool events_taken_in = false;  // since the last read of the agent's input
  // An output announced whose name and geometry have not come yet.
  bool output_unanswered = false;
  // How long a full socket is waited on once the agent is asked to stop.
  std::optional<std::chrono::steady_clock::time_point> stop_deadline;
};

Compositor the_compositor;

uint32_t now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

bool has_size(const Output& output) {
  return output.bounds.width > 0 && output.bounds.height > 0;
}

// The output at logical 0,0, else the first announced.
const Output* main_output(const Compositor& c) {
  const Output* first = nullptr;
  for (const auto& output : c.outputs) {
    if (!has_size(*output)) continue;
    if (output->bounds.x == 0 && output->bounds.y == 0) return output.get();
    if (!first) first = output.get();
  }
  return first;
}

// The box around all outputs, which absolute motion spans.
Bounds bounding_box(const Compositor& c) {
  std::optional<Bounds> box;
  for (const auto& output : c.outputs) {
    if (!has_size(*output)) continue;
    const Bounds& b = output->bounds;
    if (!box) {
      box = b;
      continue;
    }
    double right = std::max(box->x + box->width, b.x + b.width);
    double bottom = std::max(box->y + box->height, b.y + b.height);
    box->x = std::min(box->x, b.x);
    box->y = std::min(box->y, b.y);
    box->width = right - box->x;
    box->height = bottom - box->y;
  }
  return box.value_or(Bounds{0, 0, 0, 0});
}

// Device pixels per logical pixel: the current mode's size over the logical
// size, rather than wl_output's scale, a whole number that fractional
// scaling rounds up. The longer sides, which a rotation swaps alike and the
// rounding of the logical size changes least.
double scale_of(const Output& output) {
  double device = std::max(output.mode_width, output.mode_height);
  return device > 0 ? device / std::max(output.bounds.width, output.bounds.height) : 1;
}

// Follows every change of an output, once complete, or an output gone.
void update_layout(Compositor& c) {
  const Output* main = main_output(c);
  c.main_display = main ? main->bounds : Bounds{0, 0, 0, 0};
  c.layout = bounding_box(c);
  c.displays.clear();
  for (const auto& output : c.outputs) {
    if (!has_size(*output)) continue;
    // A compositor that names no outputs: each gets a name of its own.
    std::string id = output->id.empty() ? "wl_output-" + std::to_string(output->name) : output->id;
    c.displays.push_back({std::move(id), output->bounds, scale_of(*output), output.get() == main});
  }
}

const zxdg_output_v1_listener kLogicalOutputListener = {
    .logical_position =
        [](void* data, zxdg_output_v1*, int32_t x, int32_t y) {
          static_cast<Output*>(data)->pending.x = x;
          static_cast<Output*>(data)->pending.y = y;
        },
    .logical_size =
        [](void* data, zxdg_output_v1*, int32_t width, int32_t height) {
          static_cast<Output*>(data)->pending.width = width;
          static_cast<Output*>(data)->pending.height = height;
        },
    .done =
        [](void* data, zxdg_output_v1*) {
          auto* output = static_cast<Output*>(data);
          output->bounds = output->pending;
          update_layout(the_compositor);
        },
    .name = [](void* data, zxdg_output_v1*,
               const char* name) { static_cast<Output*>(data)->id = name; },
    .description = [](void*, zxdg_output_v1*, const char*) {},
};

// An output's name (from version 4 on; xdg-output names it as well) and
// current mode. Its done ends a change of mode, as xdg-output's ends one of
// the logical geometry.
const wl_output_listener kOutputListener = {
    .geometry = [](void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
                   const char*, int32_t) {},
    .mode =
        [](void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
          if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
          static_cast<Output*>(data)->mode_width = width;
          static_cast<Output*>(data)->mode_height = height;
        },
    .done = [](void*, wl_output*) { update_layout(the_compositor); },
    .scale = [](void*, wl_output*, int32_t) {},
    .name = [](void* data, wl_output*, const char* name) { static_cast<Output*>(data)->id = name; },
    .description = [](void*, wl_output*, const char*) {},
};

void follow_output(Compositor& c, Output& output) {
  if (output.logical || !c.output_manager) return;
  output.logical = zxdg_output_manager_v1_get_xdg_output(c.output_manager, output.output);
  zxdg_output_v1_add_listener(output.logical, &kLogicalOutputListener, &output);
}

void forget_output(Compositor& c, uint32_t name) {
  std::erase_if(c.outputs, [&](const std::unique_ptr<Output>& output) {
    if (output->name != name) return false;
    if (output->logical) zxdg_output_v1_destroy(output->logical);
    if (wl_output_get_version(output->output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
      wl_output_release(output->output);
    } else {
      wl_output_destroy(output->output);
    }
    return true;
  });
  update_layout(c);
}

template <typename T>
T* bind(wl_registry* registry, uint32_t name, const wl_interface* interface, uint32_t offered,
        uint32_t wanted) {
  return static_cast<T*>(wl_registry_bind(registry, name, interface, std::min(offered, wanted)));
}

// The seat's capabilities, followed from the start: the first come with
// the bind.
const wl_seat_listener kSeatListener = {
    .capabilities = [](void*, wl_seat*,
                       uint32_t capabilities) { the_compositor.seat_capabilities = capabilities; },
    .name = [](void*, wl_seat*, const char*) {},
};

void on_global(void*, wl_registry* registry, uint32_t name, const char* interface,
               uint32_t version) {
  Compositor& c = the_compositor;
  std::string_view announced = interface;
  if (announced == wl_seat_interface.name && !c.seat) {
    c.seat = bind<wl_seat>(registry, name, &wl_seat_interface, version, 5);
    wl_seat_add_listener(c.seat, &kSeatListener, nullptr);
  } else if (announced == zwp_virtual_keyboard_manager_v1_interface.name) {
    c.keyboard_manager = bind<zwp_virtual_keyboard_manager_v1>(
        registry, name, &zwp_virtual_keyboard_manager_v1_interface, version, 1);
  } else if (announced == zwlr_virtual_pointer_manager_v1_interface.name) {
    c.pointer_manager = bind<zwlr_virtual_pointer_manager_v1>(
        registry, name, &zwlr_virtual_pointer_manager_v1_interface, version, 1);
  } else if (announced == zxdg_output_manager_v1_interface.name) {
    // Version 2 names the outputs and still ends each change with the
    // xdg-output's own done event (from version 3 on, wl_output's alone).
    c.output_manager =
        bind<zxdg_output_manager_v1>(registry, name, &zxdg_output_manager_v1_interface, version, 2);
    for (auto& output : c.outputs) follow_output(c, *output);
  } else if (announced == wl_output_interface.name) {
    auto& output = c.outputs.emplace_back(std::make_unique<Output>());
    output->name = name;
    c.output_unanswered = true;
    output->output = bind<wl_output>(registry, name, &wl_output_interface, version, 4);
    wl_output_add_listener(output->output, &kOutputListener, output.get());
    follow_output(c, *output);
  }
}

const wl_registry_listener kRegistryListener = {
    .global = on_global,
    .global_remove = [](void*, wl_registry*,
                        uint32_t name) { forget_output(the_compositor, name); },
};

// The seat's keyboard, asked for only to read the keymap the person uses.
const wl_keyboard_listener kSeatKeyboardListener = {
    .keymap =
        [](void*, wl_keyboard*, uint32_t format, int32_t fd, uint32_t size) {
          if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0) {
            void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
            if (text != MAP_FAILED) {
              the_compositor.seat_keymap.assign(static_cast<const char*>(text),
                                                strnlen(static_cast<const char*>(text), size));
              the_compositor.typing_read = false;
              munmap(text, size);
            }
          }
          close(fd);
        },
    .enter = [](void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) {},
    .leave = [](void*, wl_keyboard*, uint32_t, wl_surface*) {},
    .key = [](void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t) {},
    .modifiers = [](void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {},
    .repeat_info = [](void*, wl_keyboard*, int32_t, int32_t) {},
};

// Once the agent is asked to stop, every wait on the compositor ends by
// kExitPatience after the first that saw the request, in all (the final
// confirmation at exit gets a deadline of its own).
std::optional<std::chrono::steady_clock::time_point> stop_deadline(Compositor& c) {
  if (stop_request() && !c.stop_deadline) {
    c.stop_deadline = std::chrono::steady_clock::now() + kExitPatience;
  }
  return c.stop_deadline;
}

// Milliseconds left until `deadline`, at least 0.
int left_until(std::chrono::steady_clock::time_point deadline) {
  auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

// Sends what libwayland has buffered, waiting while the socket is full: as
// long as the compositor takes, until the agent is asked to stop; from then
// on until the stop's deadline, so that a compositor that reads nothing
// (stopped, say) cannot keep it. False when it could not send everything.
bool send_all(Compositor& c) {
  while (wl_display_flush(c.display) < 0) {
    if (errno != EAGAIN) return false;
    int timeout = -1;
    if (auto deadline = stop_deadline(c)) {
      timeout = left_until(*deadline);
      if (timeout == 0) return false;
    }
    pollfd writable{wl_display_get_fd(c.display), POLLOUT, 0};
    if (poll(&writable, 1, timeout) < 0 && errno != EINTR) return false;
  }
  return wl_display_get_error(c.display) == 0;
}

// Reads and handles what the compositor has sent, waiting at most `timeout`
// milliseconds for something to arrive (0: not at all).
void take_in_events(Compositor& c, int timeout) {
  while (wl_display_prepare_read(c.display) != 0) wl_display_dispatch_pending(c.display);
  send_all(c);
  pollfd readable{wl_display_get_fd(c.display), POLLIN, 0};
  if (poll(&readable, 1, timeout) > 0) {
    wl_display_read_events(c.display);
  } else {
    wl_display_cancel_read(c.display);
  }
  wl_display_dispatch_pending(c.display);
}

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
void round_trip(Compositor& c, std::chrono::milliseconds patience = kStartPatience) {
  bool answered = false;
  static const wl_callback_listener kListener = {
      .done = [](void* data, wl_callback* callback, uint32_t) {
        *static_cast<bool*>(data) = true;
        wl_callback_destroy(callback);
      }};
  wl_callback_add_listener(wl_display_sync(c.display), &kListener, &answered);
  await(c, patience, [&] { return answered; });
}

// The person's keymap when the seat has a keyboard, else US English, so that
// what a key types follows the layout, as a physical key's would.
std::string keymap_text(Compositor& c) {
  if (c.seat_capabilities & WL_SEAT_CAPABILITY_KEYBOARD) {
    wl_keyboard* keyboard = wl_seat_get_keyboard(c.seat);
    wl_keyboard_add_listener(keyboard, &kSeatKeyboardListener, nullptr);
    round_trip(c);
    if (wl_keyboard_get_version(keyboard) >= WL_KEYBOARD_RELEASE_SINCE_VERSION) {
      wl_keyboard_release(keyboard);
    } else {
      wl_keyboard_destroy(keyboard);
    }
    if (!c.seat_keymap.empty()) return c.seat_keymap;
  }
  const Xkbcommon& xkb = *c.xkb.library;
  xkb_rule_names us{
      .rules = "evdev", .model = "pc105", .layout = "us", .variant = nullptr, .options = nullptr};
  std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap(
      xkb.keymap_new_from_names(c.xkb.context.get(), &us, XKB_KEYMAP_COMPILE_NO_FLAGS),
      xkb.keymap_unref);
  if (!keymap) return {};
  std::unique_ptr<char, decltype(&free)> text(
      xkb.keymap_get_as_string(keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1), free);
  return text ? text.get() : "";
}

// Gives the virtual keyboard the keymap in `file`; the request sends a copy
// of its descriptor.
bool upload_keymap(Compositor& c, const KeymapFile& file) {
  if (file.fd < 0) return false;
  zwp_virtual_keyboard_v1_keymap(c.keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, file.fd, file.size);
  return true;
}

// Gives the virtual keyboard the keymap `text`, and the agent the same
// keymap's state, from which it works out the modifiers.
bool set_keymap(Compositor& c, const std::string& text) {
  const Xkbcommon& xkb = *c.xkb.library;
  c.xkb.keymap = {
      xkb.keymap_new_from_string(c.xkb.context.get(), text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                 XKB_KEYMAP_COMPILE_NO_FLAGS),
      xkb.keymap_unref};
  if (!c.xkb.keymap) return false;
  c.xkb.state = {xkb.state_new(c.xkb.keymap.get()), xkb.state_unref};
  c.layout_file.emplace(text);
  return upload_keymap(c, *c.layout_file) && c.xkb.state;
}

// Connects and learns the outputs' layout; nothing is asked of the seat yet.
bool connect_for_layout() {
  Compositor& c = the_compositor;
  if (c.display) return wl_display_get_error(c.display) == 0;  // already, for the backend
  c.display = wl_display_connect(nullptr);
  if (!c.display) return false;
  wl_registry_add_listener(wl_display_get_registry(c.display), &kRegistryListener, nullptr);
  round_trip(c);
  round_trip(c);  // the outputs' geometry
  c.output_unanswered = false;
  return wl_display_get_error(c.display) == 0;
}

// The agent's devices, made and announced; or why not.
platform::Reach make_devices() {
  Compositor& c = the_compositor;
  c.xkb.library = xkbcommon();
  if (!c.xkb.library || !c.seat || !c.keyboard_manager || !c.pointer_manager) {
    return platform::Reach::kRefused;
  }
  uint32_t had = c.seat_capabilities;
  c.xkb.context = {c.xkb.library->context_new(XKB_CONTEXT_NO_FLAGS), c.xkb.library->context_unref};
  if (!c.xkb.context) return platform::Reach::kRefused;
  // Read before the agent's keyboard joins the seat, which may make it the
  // seat's keyboard with the compositor's default keymap.
  std::string layout = keymap_text(c);
  c.keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(c.keyboard_manager, c.seat);
  c.pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(c.pointer_manager, c.seat);
  if (!set_keymap(c, layout)) return platform::Reach::kRefused;
  constexpr uint32_t kBoth = WL_SEAT_CAPABILITY_KEYBOARD | WL_SEAT_CAPABILITY_POINTER;
  if ((had & kBoth) != kBoth) {
    // The seat gains a keyboard or pointer with these devices: applications
    // learn of it with the agent and only then ask for theirs, which the
    // agent cannot see; it gives them a moment after the announcement.
    await(c, kStartPatience, [&] { return (c.seat_capabilities & kBoth) == kBoth; });
    auto settled = std::chrono::steady_clock::now() + kApplicationsCatchUp;
    await(c, kApplicationsCatchUp, [&] { return std::chrono::steady_clock::now() >= settled; });
  }
  round_trip(c);
  return wl_display_get_error(c.display) == 0 ? platform::Reach::kReady : platform::Reach::kRefused;
}

platform::Reach connect() {
  return connect_for_layout() ? make_devices() : platform::Reach::kNobody;
}

// Takes in what the compositor announced once per read of the agent's input,
// so that a change of the outputs reaches every command read after it.
// A monitor plugged in changes the layout, which absolute motion spans, at
// once: its geometry is waited for (one round trip a new output), so the
// command that first sees it already places its point in the new layout.
Bounds main_display() {
  Compositor& c = the_compositor;
  if (!c.events_taken_in) {
    c.events_taken_in = true;
    take_in_events(c, 0);
    if (c.output_unanswered) {
      c.output_unanswered = false;
      round_trip(c);
    }
  }
  return c.main_display;
}

// No client can read the pointer's position on Wayland: where the agent last
// put it, moved by relative motion since, stands in for it.
std::optional<Point> cursor() {
  return the_compositor.last_point;
}

void end_text(Compositor& c);

// Tells applications the modifiers `to` after a keymap change. Some start a
// new keymap with no modifiers, others (foot) keep the ones announced
// before, and the compositor passes modifiers on only when they change; so
// they go to something else first (Shift flipped, with no key between).
void announce_modifiers(Compositor& c, const Modifiers& to) {
  zwp_virtual_keyboard_v1_modifiers(c.keyboard, to.depressed ^ 1, to.latched, to.locked, to.group);
  zwp_virtual_keyboard_v1_modifiers(c.keyboard, to.depressed, to.latched, to.locked, to.group);
}

// The compositor does not work the modifiers out from key events on a
// virtual keyboard, so the agent does, and tells it whenever they change.
void post_key(uint16_t code, bool down, uint64_t) {
  Compositor& c = the_compositor;
  uint16_t key = evdev_code(code);
  if (!key) return;
  end_text(c);
  zwp_virtual_keyboard_v1_key(
      c.keyboard, now_ms(), key,
      down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
  // XKB numbers keys 8 above evdev.
  const Xkbcommon& xkb = *c.xkb.library;
  xkb_state* state = c.xkb.state.get();
  xkb.state_update_key(state, key + 8, down ? XKB_KEY_DOWN : XKB_KEY_UP);
  Modifiers now{xkb.state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED),
                xkb.state_serialize_mods(state, XKB_STATE_MODS_LATCHED),
                xkb.state_serialize_mods(state, XKB_STATE_MODS_LOCKED),
                xkb.state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE)};
  if (!(now == c.modifiers)) {
    zwp_virtual_keyboard_v1_modifiers(c.keyboard, now.depressed, now.latched, now.locked,
                                      now.group);
    c.modifiers = now;
  }
  send_all(c);
}

// Text goes through a keymap made for it, which gives a key of its own to
// each keysym the text needs, on one level, with no modifiers. The virtual
// keyboard is given it, the modifiers are announced as none, and each
// character is pressed and released. The text keymap stays while text follows text,
// and grows with each keysym a later text needs, until it is full (then a
// new one starts): a compositor compiles each keymap it is given, for the
// agent's keyboard and again for each application, so text that brings no
// new keysym costs none. Before any other input, and once input pauses
// after text, the layout's keymap and the modifiers held come back. A compositor sends applications
// each keymap before the keys typed with it. Text keys are XKB keycodes the key table never uses
// (above its last, 134), so no key the agent holds is one of them.
constexpr uint32_t kFirstTextKey = 135, kLastTextKey = 255;
constexpr size_t kTextKeys = kLastTextKey - kFirstTextKey + 1;
// libwayland fails for good when a request does not fit its 4 KiB buffer and
// the socket is full, so text is sent every 64 characters (40 bytes each),
// waiting for room when the compositor is behind.
constexpr size_t kKeysPerSend = 64;

xkb_keysym_t keysym_of(const Xkbcommon& xkb, char32_t character) {
  if (character == U'\n') return XKB_KEY_Return;
  if (character == U'\t') return XKB_KEY_Tab;
  return xkb.utf32_to_keysym(character);
}

// Finds each character's key in the text keymap from `text` on, adding the
// keysyms it lacks while it has room, with each character's key (0 for none)
// in `keys`; returns how many characters it takes, and whether it added any.
size_t assign_text_keys(Compositor& c, const char32_t* text, size_t count, uint32_t* keys,
                        bool& added) {
  const Xkbcommon& xkb = *c.xkb.library;
  std::vector<xkb_keysym_t>& keysyms = c.text_keysyms;
  size_t taken = 0;
  for (; taken < count; ++taken) {
    xkb_keysym_t keysym = keysym_of(xkb, text[taken]);
    keys[taken] = 0;
    if (keysym == XKB_KEY_NoSymbol) continue;
    size_t at = std::find(keysyms.begin(), keysyms.end(), keysym) - keysyms.begin();
    if (at == keysyms.size()) {
      if (at == kTextKeys) break;
      keysyms.push_back(keysym);
      added = true;
    }
    keys[taken] = kFirstTextKey + static_cast<uint32_t>(at);
  }
  return taken;
}

// Writes the text keymap for c.text_keysyms into c.text_keymap.
void write_text_keymap(Compositor& c) {
  const Xkbcommon& xkb = *c.xkb.library;
  c.text_keymap.assign(
      "xkb_keymap {\nxkb_keycodes \"input-agent-text\" { minimum = 8; maximum = 255;");
  c.text_symbols.assign("xkb_symbols \"input-agent-text\" {");
  for (size_t at = 0; at < c.text_keysyms.size(); ++at) {
    char name[64], entry[128];
    xkb.keysym_get_name(c.text_keysyms[at], name, sizeof name);
    size_t code = kFirstTextKey + at;
    snprintf(entry, sizeof entry, " <T%zu> = %zu;", code, code);
    c.text_keymap += entry;
    snprintf(entry, sizeof entry, " key <T%zu> { [ %s ] };", code, name);
    c.text_symbols += entry;
  }
  c.text_keymap +=
      " };\nxkb_types \"input-agent-text\" { type \"ONE_LEVEL\" { modifiers = none; "
      "level_name[Level1] = \"Any\"; }; };\nxkb_compatibility \"input-agent-text\" { };\n";
  c.text_keymap += c.text_symbols + " };\n};\n";
}

void post_text(const char32_t* text, size_t count) {
  Compositor& c = the_compositor;
  c.text_at = std::chrono::steady_clock::now();
  static uint32_t keys[1000];  // a text command's characters at most
  count = std::min(count, std::size(keys));
  for (size_t done = 0; done < count;) {
    bool added = false;
    size_t taken = assign_text_keys(c, text + done, count - done, keys + done, added);
    if (taken == 0) {  // full: a new text keymap
      c.text_keysyms.clear();
      continue;
    }
    if (added || !c.text_keymap_given) {
      write_text_keymap(c);
      if (!upload_keymap(c, KeymapFile(c.text_keymap))) return;
      announce_modifiers(c, Modifiers{});
      c.text_keymap_given = true;
    }
    uint32_t time = now_ms();  // one for the text: applications take it in order
    for (size_t i = done; i < done + taken; ++i) {
      if (!keys[i]) continue;
      for (auto state : {WL_KEYBOARD_KEY_STATE_PRESSED, WL_KEYBOARD_KEY_STATE_RELEASED}) {
        zwp_virtual_keyboard_v1_key(c.keyboard, time, keys[i] - 8, state);
      }
      if ((i - done) % kKeysPerSend == kKeysPerSend - 1 && !send_all(c)) return;
    }
    done += taken;
  }
  send_all(c);
}

// Gives the virtual keyboard the layout's keymap back after text, and the
// modifiers held.
void end_text(Compositor& c) {
  if (!c.text_keymap_given) return;
  c.text_keymap_given = false;
  upload_keymap(c, *c.layout_file);
  announce_modifiers(c, c.modifiers);
}

// The layout's keymap comes back before any other input, and also once no
// input has come for this long after text: a program that reads the seat's
// keymap meanwhile (another agent starting) would take the text keymap for
// the person's layout.
constexpr std::chrono::milliseconds kTextKeymapKept{250};

// Counted from the last text, so that input that posts nothing (lines
// dropped, a release with nothing held) does not keep the text keymap.
std::optional<std::chrono::milliseconds> idle_bound() {
  const Compositor& c = the_compositor;
  if (!c.text_keymap_given) return std::nullopt;
  return std::chrono::ceil<std::chrono::milliseconds>(c.text_at + kTextKeymapKept -
                                                      std::chrono::steady_clock::now());
}

void on_idle() {
  end_text(the_compositor);
}

// Absolute motion spans the box around all outputs, in steps of 1/1024
// pixel. The compositor divides by the extent and multiplies by the box's
// size again, which can end a hair before a pixel's corner: on the pixel
// before it, even on another output. So the point goes one step past the
// corner; applications still get the corner, the step being below
// wl_fixed's 1/256.
constexpr uint32_t kStepsPerPixel = 1024;

void move_to(Compositor& c, Point point) {
  if (c.layout.width <= 0 || c.layout.height <= 0) return;
  auto step = [](double value, double extent) {
    long pixel = std::clamp(std::lround(value), 0L, std::lround(extent) - 1);
    return static_cast<uint32_t>(pixel) * kStepsPerPixel + 1;
  };
  zwlr_virtual_pointer_v1_motion_absolute(c.pointer, now_ms(),
                                          step(point.x - c.layout.x, c.layout.width),
                                          step(point.y - c.layout.y, c.layout.height),
                                          static_cast<uint32_t>(c.layout.width) * kStepsPerPixel,
                                          static_cast<uint32_t>(c.layout.height) * kStepsPerPixel);
}

// Releasing everything puts the buttons up at cursor(), which after
// relative motion is an estimate, wrong where a lock held the pointer; there
// a move would reach the locked client as motion of its own. A release at
// that very point goes where the pointer is, without a move.
bool release_in_place(const Compositor& c, uint32_t type, Point point) {
  return c.point_estimated && platform::is_release(type) && point.x == c.last_point->x &&
         point.y == c.last_point->y;
}

void post_mouse(uint32_t type, Point point, uint32_t button, uint64_t, int64_t) {
  Compositor& c = the_compositor;
  end_text(c);
  if (!release_in_place(c, type, point)) {
    move_to(c, point);
    c.last_point = point;
    c.point_estimated = false;
  }
  bool press = platform::is_press(type), release = platform::is_release(type);
  if (press || release) {
    zwlr_virtual_pointer_v1_button(
        c.pointer, now_ms(), evdev_button(button),
        press ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  }
  zwlr_virtual_pointer_v1_frame(c.pointer);
  send_all(c);
}

// Deltas go as wl_fixed, in 1/256 pixel. One finer than that would lose its
// rest at every motion (ten of 0.1 would come to 260/256 pixel), so the rest
// carries over to the next, per axis, and any number of motions comes within
// 1/512 pixel of their sum.
wl_fixed_t take_fixed(double& carry, double delta) {
  carry += delta * 256;
  double units = std::round(carry);
  carry -= units;
  return static_cast<wl_fixed_t>(units);
}

// Where motion by `dx`, `dy` takes the pointer from `from`: the compositor
// keeps it on the outputs, at the point of theirs closest to where it would
// have gone.
Point moved_by(const Compositor& c, Point from, double dx, double dy) {
  Point to{from.x + dx, from.y + dy}, closest = to;
  double nearest = INFINITY;
  for (const platform::Display& display : c.displays) {
    const Bounds& b = display.bounds;
    Point on{std::clamp(to.x, b.x, b.x + b.width - 1), std::clamp(to.y, b.y, b.y + b.height - 1)};
    double distance = std::hypot(on.x - to.x, on.y - to.y);
    if (distance < nearest) {
      nearest = distance;
      closest = on;
    }
  }
  return closest;
}

// Motion of the virtual pointer, as a mouse's: wlroots passes the deltas on
// as both the accelerated and the unaccelerated ones (sway accelerates only
// libinput's devices), as they are to a client that has locked the pointer;
// elsewhere the compositor moves the pointer by them, keeping it on the
// outputs. A drag's button is held already, and the modifiers are the
// keyboard's, as for absolute moves.
void post_motion(uint32_t, double dx, double dy, uint32_t, uint64_t, int64_t) {
  Compositor& c = the_compositor;
  end_text(c);
  wl_fixed_t x = take_fixed(c.motion.x, dx), y = take_fixed(c.motion.y, dy);
  if (x == 0 && y == 0) return;
  zwlr_virtual_pointer_v1_motion(c.pointer, now_ms(), x, y);
  zwlr_virtual_pointer_v1_frame(c.pointer);
  send_all(c);
  if (!c.last_point) return;
  c.last_point = moved_by(c, *c.last_point, wl_fixed_to_double(x), wl_fixed_to_double(y));
  c.point_estimated = true;
}

// Positive pixels scroll up and left, which Wayland counts negative; both
// axes go in one frame.
void post_wheel(int32_t vertical, int32_t horizontal) {
  Compositor& c = the_compositor;
  end_text(c);
  auto down = static_cast<int32_t>(-take_wheel_steps(c.wheel, vertical));
  auto right = static_cast<int32_t>(-take_wheel_steps(c.wheel_sideways, horizontal));
  if (down == 0 && right == 0) return;
  zwlr_virtual_pointer_v1_axis_source(c.pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
  for (auto [axis, steps] : {std::pair{WL_POINTER_AXIS_VERTICAL_SCROLL, down},
                             std::pair{WL_POINTER_AXIS_HORIZONTAL_SCROLL, right}}) {
    if (steps == 0) continue;
    zwlr_virtual_pointer_v1_axis_discrete(c.pointer, now_ms(), axis,
                                          wl_fixed_from_double(steps * kDegreesPerStep), steps);
  }
  zwlr_virtual_pointer_v1_frame(c.pointer);
  send_all(c);
}

void on_input() {
  the_compositor.events_taken_in = false;
}

bool flush() {
  return send_all(the_compositor);
}

const char* session_end() {
  return "the Wayland compositor closed the connection";
}

int session_connection() {
  wl_display* display = the_compositor.display;
  return display ? wl_display_get_fd(display) : -1;
}

// The final confirmation gets a stop deadline of its own.
void finish() {
  the_compositor.stop_deadline.reset();
  round_trip(the_compositor, kExitPatience);
}

Bounds desktop() {
  main_display();
  return the_compositor.layout;
}

// The seat's keyboard is asked for at the first text, and never released:
// the compositor sends it each new keymap (a layout chosen in the settings).
const platform::TypingTable& typing() {
  Compositor& c = the_compositor;
  if (!c.typing_asked && c.seat) {
    c.typing_asked = true;
    if (c.seat_capabilities & WL_SEAT_CAPABILITY_KEYBOARD) {
      wl_keyboard_add_listener(wl_seat_get_keyboard(c.seat), &kSeatKeyboardListener, nullptr);
      round_trip(c);  // its keymap
    }
  }
  main_display();  // takes in a new keymap
  if (!c.typing_read) {
    c.typing_read = true;
    const Xkbcommon* xkb = xkbcommon();
    c.typing =
        xkb ? platform::typing_from_keymap_text(*xkb, c.seat_keymap.data(), c.seat_keymap.size())
            : platform::TypingTable{};
  }
  return c.typing;
}

std::vector<platform::Display> displays() {
  main_display();  // takes in what the compositor announced
  return platform::displays_in_order(the_compositor.displays);
}

// Read afresh as main_display() is; a lookup in the list kept, with no
// request.
std::optional<Bounds> display_named(std::string_view id) {
  main_display();
  return platform::bounds_of(the_compositor.displays, id);
}

// Named here, where these functions are the ones in scope.
constexpr platform::Backend kBackend = {
    connect,   main_display, display_named,      cursor,
    post_key,  post_mouse,   post_motion,        post_wheel,
    post_text, on_input,     idle_bound,         on_idle,
    flush,     session_end,  session_connection, platform::nothing_else_ends_it,
    finish,
};
constexpr platform::Geometry kGeometry = {connect_for_layout, main_display, displays,
                                          display_named,      desktop,      cursor,
                                          on_input,           typing,       session_connection};

}  // namespace

const platform::Backend platform::kWaylandBackend = kBackend;
const platform::Geometry platform::kWaylandGeometry = kGeometry;
