// A Wayland display server with a seat and its keyboard and nothing else,
// for the uinput guest: the agent reads the session's keymap from the seat's
// keyboard, as from a desktop's compositor. It gives the keymap of the
// layout named on its command line, and the other one to every keyboard at
// SIGUSR1, as a compositor does when the person picks another layout. It
// prints its socket's name once it listens.
//   wayland_seat LAYOUT OTHER_LAYOUT      (XDG_RUNTIME_DIR set)
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-server.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "layout_keymap.h"

namespace {

std::string keymap;  // the text the keyboards get
std::vector<wl_resource*> keyboards;

void send_keymap(wl_resource* keyboard) {
  int fd = memfd_create("wayland-seat-keymap", MFD_CLOEXEC);
  if (write(fd, keymap.c_str(), keymap.size() + 1) == static_cast<ssize_t>(keymap.size() + 1)) {
    wl_keyboard_send_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                            static_cast<uint32_t>(keymap.size() + 1));
  }
  close(fd);
}

const struct wl_keyboard_interface kKeyboard = {
    .release = [](wl_client*, wl_resource* resource) { wl_resource_destroy(resource); },
};

void forget_keyboard(wl_resource* keyboard) {
  std::erase(keyboards, keyboard);
}

void get_keyboard(wl_client* client, wl_resource* seat, uint32_t id) {
  wl_resource* keyboard =
      wl_resource_create(client, &wl_keyboard_interface, wl_resource_get_version(seat), id);
  wl_resource_set_implementation(keyboard, &kKeyboard, nullptr, forget_keyboard);
  keyboards.push_back(keyboard);
  send_keymap(keyboard);
}

const struct wl_seat_interface kSeat = {
    .get_pointer = [](wl_client*, wl_resource*, uint32_t) {},
    .get_keyboard = get_keyboard,
    .get_touch = [](wl_client*, wl_resource*, uint32_t) {},
    .release = [](wl_client*, wl_resource* resource) { wl_resource_destroy(resource); },
};

void bind_seat(wl_client* client, void*, uint32_t version, uint32_t id) {
  wl_resource* seat = wl_resource_create(client, &wl_seat_interface, static_cast<int>(version), id);
  wl_resource_set_implementation(seat, &kSeat, nullptr, nullptr);
  wl_seat_send_capabilities(seat, WL_SEAT_CAPABILITY_KEYBOARD);
  if (version >= WL_SEAT_NAME_SINCE_VERSION) wl_seat_send_name(seat, "seat0");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: wayland_seat LAYOUT OTHER_LAYOUT\n");
    return 2;
  }
  keymap = layout_keymap(argv[1]);
  static std::string other = layout_keymap(argv[2]);
  wl_display* display = wl_display_create();
  const char* socket = wl_display_add_socket_auto(display);
  if (keymap.empty() || other.empty() || !socket) return 1;
  wl_global_create(display, &wl_seat_interface, 5, nullptr, bind_seat);
  wl_event_loop_add_signal(
      wl_display_get_event_loop(display), SIGUSR1,
      [](int, void*) {
        keymap = other;
        for (wl_resource* keyboard : keyboards) send_keymap(keyboard);
        return 0;
      },
      nullptr);
  printf("%s\n", socket);
  fflush(stdout);
  wl_display_run(display);
  return 0;
}
