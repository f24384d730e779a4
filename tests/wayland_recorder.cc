// A Wayland client for the tests: a fullscreen window on every output, which
// prints, one line each on standard output, the input it receives, at the
// pixel the pointer is on, in compositor-global coordinates:
//
//   ready                                (once every window is on screen)
//   key down a with shift                (the key's unshifted keysym, then
//                                         the modifiers in force)
//   move 640,400 with button1            (pointer entry or motion)
//   button down 1 at 640,400             (1 left, 2 middle, 3 right)
//   scroll 2                             (wheel steps, positive down)
//   scroll right 1                       (sideways, positive right)
//   locked                               (the pointer, once locked)
//   relative 0.5,-20 unaccelerated 0.5,-20 with button1
//                                        (motion while locked, as a game reads
//                                         it: pixels, exact to wl_fixed's 1/256)
//   unlocked                             (once the compositor has taken the
//                                         unlock in)
//   lock lost                            (the compositor ended the lock)
//
// It reads lines on standard input: "lock" locks the pointer on the window
// under it, as a game does, and reads relative motion until "unlock".
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "pointer-constraints-unstable-v1-client-protocol.h"
#include "relative-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

namespace {

struct Window {
  wl_output* output = nullptr;
  zxdg_output_v1* logical = nullptr;
  int x = 0, y = 0, width = 0, height = 0;  // the output's logical geometry
  wl_surface* surface = nullptr;
  xdg_surface* shell_surface = nullptr;
  xdg_toplevel* toplevel = nullptr;
  wl_buffer* buffer = nullptr;
  bool fullscreen = false;  // in the last configure
  bool shown = false;       // fullscreen on screen, as the compositor presented it
};

struct Client {
  wl_display* display = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* shell = nullptr;
  zxdg_output_manager_v1* output_manager = nullptr;
  zwp_pointer_constraints_v1* constraints = nullptr;
  zwp_relative_pointer_manager_v1* relative_pointers = nullptr;
  wl_seat* seat = nullptr;
  wl_keyboard* keyboard = nullptr;
  wl_pointer* pointer = nullptr;
  zwp_locked_pointer_v1* lock = nullptr;        // while asked to lock
  zwp_relative_pointer_v1* relative = nullptr;  // the same
  std::vector<std::unique_ptr<Window>> windows;
  Window* under_pointer = nullptr;
  int pointer_x = 0, pointer_y = 0;  // the pixel under the pointer, global
  std::set<int> buttons;             // X-style numbers held
  xkb_context* xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap* keymap = nullptr;
  xkb_state* state = nullptr;
  uint32_t modifiers[4] = {};  // depressed, latched, locked, group, as last announced
  bool ready_said = false;
};

Client client;

// Lines go out together, before the recorder waits for the compositor.
void say(const std::string& line) {
  printf("%s\n", line.c_str());
}

std::string modifier_words() {
  static const std::pair<const char*, const char*> names[] = {
      {XKB_MOD_NAME_SHIFT, "shift"}, {XKB_MOD_NAME_CAPS, "lock"}, {XKB_MOD_NAME_CTRL, "control"},
      {XKB_MOD_NAME_ALT, "mod1"},    {XKB_MOD_NAME_LOGO, "mod4"},
  };
  std::string words;
  if (client.state) {
    for (const auto& [name, word] : names) {
      if (xkb_state_mod_name_is_active(client.state, name, XKB_STATE_MODS_EFFECTIVE) > 0) {
        words += std::string(words.empty() ? " with " : "+") + word;
      }
    }
  }
  for (int button : client.buttons) {
    words += std::string(words.empty() ? " with " : "+") + "button" + std::to_string(button);
  }
  return words;
}

std::string point() {
  return std::to_string(client.pointer_x) + "," + std::to_string(client.pointer_y);
}

void drop_lock() {
  if (client.lock) zwp_locked_pointer_v1_destroy(client.lock);
  if (client.relative) zwp_relative_pointer_v1_destroy(client.relative);
  client.lock = nullptr;
  client.relative = nullptr;
}

wl_buffer* white_buffer(int width, int height) {
  int stride = width * 4, size = stride * height;
  int fd = memfd_create("recorder", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, size) != 0) return nullptr;
  void* pixels = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  memset(pixels, 0xff, size);
  munmap(pixels, size);
  wl_shm_pool* pool = wl_shm_create_pool(client.shm, fd, size);
  wl_buffer* buffer =
      wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  return buffer;
}

void say_ready_once_shown() {
  if (client.ready_said || client.windows.empty()) return;
  for (const auto& window : client.windows) {
    if (!window->shown) return;
  }
  client.ready_said = true;
  say("ready");
}

// A window counts as shown once the compositor has presented a frame of it
// fullscreen: before that, it may still sit elsewhere (mutter maps a window
// first and makes it fullscreen with a later configure), and pointer
// positions in it would not be the output's.
const wl_callback_listener kPresentedListener = {
    .done = [](void* data, wl_callback* callback, uint32_t) {
      wl_callback_destroy(callback);
      static_cast<Window*>(data)->shown = true;
      say_ready_once_shown();
    }};

const xdg_surface_listener kShellSurfaceListener = {
    .configure = [](void* data, xdg_surface* shell_surface, uint32_t serial) {
      auto* window = static_cast<Window*>(data);
      xdg_surface_ack_configure(shell_surface, serial);
      if (!window->buffer && window->width > 0) {
        window->buffer = white_buffer(window->width, window->height);
        wl_surface_attach(window->surface, window->buffer, 0, 0);
      }
      if (window->fullscreen && window->buffer && !window->shown) {
        wl_callback_add_listener(wl_surface_frame(window->surface), &kPresentedListener, window);
        wl_surface_damage(window->surface, 0, 0, window->width, window->height);
      }
      wl_surface_commit(window->surface);
    }};

const xdg_toplevel_listener kToplevelListener = {
    .configure =
        [](void* data, xdg_toplevel*, int32_t, int32_t, wl_array* states) {
          auto* window = static_cast<Window*>(data);
          window->fullscreen = false;
          for (auto* state = static_cast<uint32_t*>(states->data);
               reinterpret_cast<char*>(state) < static_cast<char*>(states->data) + states->size;
               ++state) {
            if (*state == XDG_TOPLEVEL_STATE_FULLSCREEN) window->fullscreen = true;
          }
        },
    .close = [](void*, xdg_toplevel*) {},
    .configure_bounds = [](void*, xdg_toplevel*, int32_t, int32_t) {},
    .wm_capabilities = [](void*, xdg_toplevel*, wl_array*) {},
};

void show(Window& window) {
  if (window.surface || !client.compositor || !client.shell || window.width <= 0) return;
  window.surface = wl_compositor_create_surface(client.compositor);
  wl_surface_set_user_data(window.surface, &window);
  window.shell_surface = xdg_wm_base_get_xdg_surface(client.shell, window.surface);
  xdg_surface_add_listener(window.shell_surface, &kShellSurfaceListener, &window);
  window.toplevel = xdg_surface_get_toplevel(window.shell_surface);
  xdg_toplevel_add_listener(window.toplevel, &kToplevelListener, &window);
  xdg_toplevel_set_fullscreen(window.toplevel, window.output);
  wl_surface_commit(window.surface);
}

const zxdg_output_v1_listener kLogicalOutputListener = {
    .logical_position =
        [](void* data, zxdg_output_v1*, int32_t x, int32_t y) {
          static_cast<Window*>(data)->x = x;
          static_cast<Window*>(data)->y = y;
        },
    .logical_size =
        [](void* data, zxdg_output_v1*, int32_t width, int32_t height) {
          static_cast<Window*>(data)->width = width;
          static_cast<Window*>(data)->height = height;
        },
    .done = [](void* data, zxdg_output_v1*) { show(*static_cast<Window*>(data)); },
    .name = [](void*, zxdg_output_v1*, const char*) {},
    .description = [](void*, zxdg_output_v1*, const char*) {},
};

void follow(Window& window) {
  if (window.logical || !client.output_manager) return;
  window.logical = zxdg_output_manager_v1_get_xdg_output(client.output_manager, window.output);
  zxdg_output_v1_add_listener(window.logical, &kLogicalOutputListener, &window);
}

const wl_keyboard_listener kKeyboardListener = {
    .keymap =
        [](void*, wl_keyboard*, uint32_t, int32_t fd, uint32_t size) {
          void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
          close(fd);
          if (text == MAP_FAILED) return;
          xkb_keymap_unref(client.keymap);
          xkb_state_unref(client.state);
          client.keymap =
              xkb_keymap_new_from_string(client.xkb, static_cast<const char*>(text),
                                         XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
          client.state = client.keymap ? xkb_state_new(client.keymap) : nullptr;
          // The modifiers last announced carry over to the new keymap, as
          // some applications (foot) have it; others start with none.
          const uint32_t* m = client.modifiers;
          if (client.state) xkb_state_update_mask(client.state, m[0], m[1], m[2], 0, 0, m[3]);
          munmap(text, size);
        },
    .enter = [](void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) {},
    .leave = [](void*, wl_keyboard*, uint32_t, wl_surface*) {},
    .key =
        [](void*, wl_keyboard*, uint32_t, uint32_t, uint32_t key, uint32_t state) {
          const xkb_keysym_t* syms = nullptr;
          int count = client.keymap
                          ? xkb_keymap_key_get_syms_by_level(client.keymap, key + 8, 0, 0, &syms)
                          : 0;
          char name[64] = "(none)";
          if (count > 0) xkb_keysym_get_name(syms[0], name, sizeof name);
          say(std::string(state == WL_KEYBOARD_KEY_STATE_PRESSED ? "key down " : "key up ") + name +
              modifier_words());
        },
    .modifiers =
        [](void*, wl_keyboard*, uint32_t, uint32_t depressed, uint32_t latched, uint32_t locked,
           uint32_t group) {
          client.modifiers[0] = depressed;
          client.modifiers[1] = latched;
          client.modifiers[2] = locked;
          client.modifiers[3] = group;
          if (client.state) {
            xkb_state_update_mask(client.state, depressed, latched, locked, 0, 0, group);
          }
        },
    .repeat_info = [](void*, wl_keyboard*, int32_t, int32_t) {},
};

// The pixel of the window's at surface coordinate `at`. A point a hair
// before the window's far edge comes rounded to wl_fixed's 1/256, onto the
// edge itself; it is still on the window's last pixel, not on the next
// output's first.
int pixel_at(int origin, int size, wl_fixed_t at) {
  return origin + std::clamp(static_cast<int>(std::floor(wl_fixed_to_double(at))), 0, size - 1);
}

void moved_to(wl_surface* surface, wl_fixed_t x, wl_fixed_t y) {
  if (surface) client.under_pointer = static_cast<Window*>(wl_surface_get_user_data(surface));
  const Window* window = client.under_pointer;
  if (!window) return;
  client.pointer_x = pixel_at(window->x, window->width, x);
  client.pointer_y = pixel_at(window->y, window->height, y);
  say("move " + point() + modifier_words());
}

int x_button(uint32_t button) {
  return button == BTN_LEFT ? 1 : button == BTN_MIDDLE ? 2 : button == BTN_RIGHT ? 3 : 0;
}

const wl_pointer_listener kPointerListener = {
    .enter = [](void*, wl_pointer*, uint32_t, wl_surface* surface, wl_fixed_t x,
                wl_fixed_t y) { moved_to(surface, x, y); },
    .leave = [](void*, wl_pointer*, uint32_t, wl_surface*) {},
    .motion = [](void*, wl_pointer*, uint32_t, wl_fixed_t x,
                 wl_fixed_t y) { moved_to(nullptr, x, y); },
    .button =
        [](void*, wl_pointer*, uint32_t, uint32_t, uint32_t button, uint32_t state) {
          bool down = state == WL_POINTER_BUTTON_STATE_PRESSED;
          say(std::string(down ? "button down " : "button up ") + std::to_string(x_button(button)) +
              " at " + point());
          if (down) {
            client.buttons.insert(x_button(button));
          } else {
            client.buttons.erase(x_button(button));
          }
        },
    .axis = [](void*, wl_pointer*, uint32_t, uint32_t, wl_fixed_t) {},
    .frame = [](void*, wl_pointer*) {},
    .axis_source = [](void*, wl_pointer*, uint32_t) {},
    .axis_stop = [](void*, wl_pointer*, uint32_t, uint32_t) {},
    .axis_discrete =
        [](void*, wl_pointer*, uint32_t axis, int32_t steps) {
          say((axis == WL_POINTER_AXIS_VERTICAL_SCROLL ? "scroll " : "scroll right ") +
              std::to_string(steps));
        },
    .axis_value120 = [](void*, wl_pointer*, uint32_t, int32_t) {},
};

// Deltas exact: wl_fixed's 1/256 needs at most 8 decimals.
std::string delta(wl_fixed_t x, wl_fixed_t y) {
  char text[64];
  snprintf(text, sizeof text, "%.10g,%.10g", wl_fixed_to_double(x), wl_fixed_to_double(y));
  return text;
}

// Both deltas, for a test to tell them apart: a compositor may accelerate
// the first; a game reads the unaccelerated ones.
const zwp_relative_pointer_v1_listener kRelativeListener = {
    .relative_motion = [](void*, zwp_relative_pointer_v1*, uint32_t, uint32_t, wl_fixed_t dx,
                          wl_fixed_t dy, wl_fixed_t dx_unaccelerated, wl_fixed_t dy_unaccelerated) {
      say("relative " + delta(dx, dy) + " unaccelerated " +
          delta(dx_unaccelerated, dy_unaccelerated) + modifier_words());
    }};

const zwp_locked_pointer_v1_listener kLockListener = {
    .locked = [](void*, zwp_locked_pointer_v1*) { say("locked"); },
    .unlocked = [](void*, zwp_locked_pointer_v1*) { say("lock lost"); },
};

// The compositor locks the pointer only for a window with the seat's focus
// and the pointer on it; "locked" tells when it has.
void lock() {
  if (client.lock || !client.pointer || !client.under_pointer || !client.constraints ||
      !client.relative_pointers) {
    return say("cannot lock");
  }
  client.relative = zwp_relative_pointer_manager_v1_get_relative_pointer(client.relative_pointers,
                                                                         client.pointer);
  zwp_relative_pointer_v1_add_listener(client.relative, &kRelativeListener, nullptr);
  client.lock = zwp_pointer_constraints_v1_lock_pointer(
      client.constraints, client.under_pointer->surface, client.pointer, nullptr,
      ZWP_POINTER_CONSTRAINTS_V1_LIFETIME_ONESHOT);
  zwp_locked_pointer_v1_add_listener(client.lock, &kLockListener, nullptr);
}

// "unlocked" once the compositor has taken the request in: input sent after
// that line moves the pointer again.
void unlock() {
  drop_lock();
  static const wl_callback_listener kDone = {.done = [](void*, wl_callback* callback, uint32_t) {
    wl_callback_destroy(callback);
    say("unlocked");
  }};
  wl_callback_add_listener(wl_display_sync(client.display), &kDone, nullptr);
}

const wl_seat_listener kSeatListener = {
    // Devices come and go with each agent; so do the recorder's.
    .capabilities =
        [](void*, wl_seat* seat, uint32_t capabilities) {
          bool keyboard = capabilities & WL_SEAT_CAPABILITY_KEYBOARD;
          bool pointer = capabilities & WL_SEAT_CAPABILITY_POINTER;
          if (keyboard && !client.keyboard) {
            client.keyboard = wl_seat_get_keyboard(seat);
            wl_keyboard_add_listener(client.keyboard, &kKeyboardListener, nullptr);
          } else if (!keyboard && client.keyboard) {
            wl_keyboard_release(client.keyboard);
            client.keyboard = nullptr;
          }
          if (pointer && !client.pointer) {
            client.pointer = wl_seat_get_pointer(seat);
            wl_pointer_add_listener(client.pointer, &kPointerListener, nullptr);
          } else if (!pointer && client.pointer) {
            drop_lock();
            wl_pointer_release(client.pointer);
            client.pointer = nullptr;
            client.buttons.clear();
          }
        },
    .name = [](void*, wl_seat*, const char*) {},
};

const xdg_wm_base_listener kShellListener = {
    .ping = [](void*, xdg_wm_base* shell, uint32_t serial) { xdg_wm_base_pong(shell, serial); }};

void on_global(void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
  std::string_view announced = interface;
  if (announced == wl_compositor_interface.name) {
    client.compositor =
        static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
  } else if (announced == wl_shm_interface.name) {
    client.shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
  } else if (announced == xdg_wm_base_interface.name) {
    client.shell =
        static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
    xdg_wm_base_add_listener(client.shell, &kShellListener, nullptr);
  } else if (announced == zxdg_output_manager_v1_interface.name) {
    client.output_manager = static_cast<zxdg_output_manager_v1*>(
        wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, 2));
    for (auto& window : client.windows) follow(*window);
  } else if (announced == zwp_pointer_constraints_v1_interface.name) {
    client.constraints = static_cast<zwp_pointer_constraints_v1*>(
        wl_registry_bind(registry, name, &zwp_pointer_constraints_v1_interface, 1));
  } else if (announced == zwp_relative_pointer_manager_v1_interface.name) {
    client.relative_pointers = static_cast<zwp_relative_pointer_manager_v1*>(
        wl_registry_bind(registry, name, &zwp_relative_pointer_manager_v1_interface, 1));
  } else if (announced == wl_seat_interface.name && !client.seat) {
    client.seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 5));
    wl_seat_add_listener(client.seat, &kSeatListener, nullptr);
  } else if (announced == wl_output_interface.name) {
    auto& window = client.windows.emplace_back(std::make_unique<Window>());
    window->output =
        static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, 2));
    follow(*window);
  }
}

const wl_registry_listener kRegistryListener = {
    .global = on_global,
    .global_remove = [](void*, wl_registry*, uint32_t) {},
};

// Takes the test's lines read so far; false once its input has ended.
bool obey(std::string& pending) {
  char piece[256];
  ssize_t count = read(STDIN_FILENO, piece, sizeof piece);
  if (count <= 0) return false;
  pending.append(piece, count);
  for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
    std::string_view line(pending.data(), end);
    if (line == "lock") lock();
    if (line == "unlock") unlock();
  }
  return true;
}

// Waits for the compositor and the test alike; false once the connection
// has failed.
bool dispatch(pollfd (&watched)[2], std::string& pending) {
  wl_display* display = client.display;
  while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
  fflush(stdout);
  wl_display_flush(display);
  if (poll(watched, 2, -1) < 0) {
    wl_display_cancel_read(display);
    return errno == EINTR;
  }
  if (watched[0].revents) {
    if (wl_display_read_events(display) < 0) return false;
  } else {
    wl_display_cancel_read(display);
  }
  if (watched[1].revents && !obey(pending)) watched[1].fd = -1;
  return wl_display_dispatch_pending(display) >= 0;
}

}  // namespace

int main() {
  client.display = wl_display_connect(nullptr);
  if (!client.display) {
    fprintf(stderr, "wayland_recorder: no compositor\n");
    return 1;
  }
  wl_registry_add_listener(wl_display_get_registry(client.display), &kRegistryListener, nullptr);
  pollfd watched[2] = {{wl_display_get_fd(client.display), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  std::string pending;
  while (dispatch(watched, pending)) {
  }
  fprintf(stderr, "wayland_recorder: the compositor ended the connection (%s)\n",
          strerror(wl_display_get_error(client.display)));
  return 1;
}
