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
#include "platform/linux/wayland.h"

#include <wayland-client.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/displays.h"
#include "platform/linux/backend.h"
#include "platform/linux/loaders/xkbcommon.h"

namespace wayland {

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

}  // namespace wayland

const platform::Backend platform::kWaylandBackend = wayland::kBackend;
const platform::Geometry platform::kWaylandGeometry = wayland::kGeometry;
