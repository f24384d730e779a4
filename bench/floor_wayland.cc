// The floor for posting on Wayland: for each input line, one absolute
// motion of a virtual pointer, its frame and a flush, which is what the
// compositor itself charges per event.
//   floor_wayland < lines
#include <poll.h>
#include <wayland-client.h>

#include <cstring>
#include <iostream>
#include <string>

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace {

wl_seat* seat = nullptr;
zwlr_virtual_pointer_manager_v1* manager = nullptr;

void on_global(void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
  if (strcmp(interface, wl_seat_interface.name) == 0 && !seat) {
    seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  } else if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
    manager = static_cast<zwlr_virtual_pointer_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
  }
}

const wl_registry_listener kRegistryListener = {on_global, [](void*, wl_registry*, uint32_t) {}};

}  // namespace

int main() {
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return 1;
  wl_registry_add_listener(wl_display_get_registry(display), &kRegistryListener, nullptr);
  wl_display_roundtrip(display);
  if (!seat || !manager) return 1;
  zwlr_virtual_pointer_v1* pointer =
      zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, seat);
  wl_display_roundtrip(display);
  constexpr uint32_t kWidth = 1280, kHeight = 800;
  std::ios::sync_with_stdio(false);
  std::string line;
  for (long i = 0; std::getline(std::cin, line); ++i) {
    zwlr_virtual_pointer_v1_motion_absolute(pointer, 0, i * 7919 % 10007 * (kWidth - 1) / 10007,
                                            i * 104729 % 10009 * (kHeight - 1) / 10009, kWidth,
                                            kHeight);
    zwlr_virtual_pointer_v1_frame(pointer);
    while (wl_display_flush(display) < 0) {
      pollfd writable{wl_display_get_fd(display), POLLOUT, 0};
      poll(&writable, 1, -1);
    }
  }
  wl_display_roundtrip(display);
  wl_display_disconnect(display);
  return 0;
}
