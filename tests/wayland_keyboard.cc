// A keyboard of the person's for the Wayland tests: a virtual keyboard with
// the layout named on the command line, which types one key (so that it is
// the keyboard the seat used last, as the person's is), prints "ready" and
// stays until its standard input closes.
//   wayland_keyboard LAYOUT
#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "layout_keymap.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"

namespace {

wl_seat* seat = nullptr;
zwp_virtual_keyboard_manager_v1* manager = nullptr;

void on_global(void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
  if (strcmp(interface, wl_seat_interface.name) == 0 && !seat) {
    seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  } else if (strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
    manager = static_cast<zwp_virtual_keyboard_manager_v1*>(
        wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
  }
}

const wl_registry_listener kRegistryListener = {on_global, [](void*, wl_registry*, uint32_t) {}};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: wayland_keyboard LAYOUT\n");
    return 2;
  }
  std::string keymap = layout_keymap(argv[1]);
  wl_display* display = wl_display_connect(nullptr);
  if (keymap.empty() || !display) return 1;
  wl_registry_add_listener(wl_display_get_registry(display), &kRegistryListener, nullptr);
  wl_display_roundtrip(display);
  if (!seat || !manager) return 1;
  zwp_virtual_keyboard_v1* keyboard =
      zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager, seat);
  int fd = memfd_create("wayland-keyboard-keymap", MFD_CLOEXEC);
  if (write(fd, keymap.c_str(), keymap.size() + 1) != static_cast<ssize_t>(keymap.size() + 1))
    return 1;
  zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                 static_cast<uint32_t>(keymap.size() + 1));
  close(fd);
  for (uint32_t state : {WL_KEYBOARD_KEY_STATE_PRESSED, WL_KEYBOARD_KEY_STATE_RELEASED}) {
    zwp_virtual_keyboard_v1_key(keyboard, 0, KEY_LEFTSHIFT, state);
  }
  wl_display_roundtrip(display);
  printf("ready\n");
  fflush(stdout);
  char c;
  while (read(0, &c, 1) > 0) {
  }
  wl_display_disconnect(display);
  return 0;
}
