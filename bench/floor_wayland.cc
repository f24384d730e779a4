// The floor for posting on Wayland: for each input line, one absolute
// motion of a virtual pointer, its frame and a flush, which is what the
// compositor itself charges per event. For text, the requests the agent
// makes for each line's characters: when they bring a keysym the text keymap
// lacks, a keymap with a key for each keysym so far (one level) given to a
// virtual keyboard in a new memory file and the modifiers announced (Shift,
// then none); then a press and release per character, sent every 64
// characters, and a flush. (Its text never fills a keymap.)
//   floor_wayland [text] < lines
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "text_line.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace {

wl_seat* seat = nullptr;
zwlr_virtual_pointer_manager_v1* pointer_manager = nullptr;
zwp_virtual_keyboard_manager_v1* keyboard_manager = nullptr;

void on_global(void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
  if (strcmp(interface, wl_seat_interface.name) == 0 && !seat) {
    seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  } else if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
    pointer_manager = static_cast<zwlr_virtual_pointer_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
  } else if (strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
    keyboard_manager = static_cast<zwp_virtual_keyboard_manager_v1*>(
        wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
  }
}

const wl_registry_listener kRegistryListener = {on_global, [](void*, wl_registry*, uint32_t) {}};

void flush(wl_display* display) {
  while (wl_display_flush(display) < 0) {
    pollfd writable{wl_display_get_fd(display), POLLOUT, 0};
    poll(&writable, 1, -1);
  }
}

int keymap_file(const std::string& text) {
  int fd = memfd_create("floor-keymap", MFD_CLOEXEC);
  if (write(fd, text.c_str(), text.size() + 1) != static_cast<ssize_t>(text.size() + 1)) return -1;
  return fd;
}

std::string us_keymap() {
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_rule_names us{"evdev", "pc105", "us", nullptr, nullptr};
  xkb_keymap* keymap = xkb_keymap_new_from_names(context, &us, XKB_KEYMAP_COMPILE_NO_FLAGS);
  char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
  std::string copy = text;
  free(text);
  xkb_keymap_unref(keymap);
  xkb_context_unref(context);
  return copy;
}

// The keysyms of the keymap given for text, in key order from keycode 135.
std::vector<xkb_keysym_t> text_keysyms;

// Each character's keycode in `keys`, adding the keysyms the text keymap
// lacks; whether it added any.
bool assign_keys(const std::u32string& characters, std::vector<uint32_t>& keys) {
  bool added = false;
  keys.clear();
  for (char32_t character : characters) {
    xkb_keysym_t keysym = xkb_utf32_to_keysym(character);
    size_t at = std::find(text_keysyms.begin(), text_keysyms.end(), keysym) - text_keysyms.begin();
    if (at == text_keysyms.size()) {
      text_keysyms.push_back(keysym);
      added = true;
    }
    keys.push_back(static_cast<uint32_t>(135 + at));
  }
  return added;
}

// The text keymap, in the agent's form.
std::string text_keymap() {
  std::string codes =
      "xkb_keymap {\nxkb_keycodes \"input-agent-text\" { minimum = 8; maximum = 255;";
  std::string symbols = "xkb_symbols \"input-agent-text\" {";
  for (size_t at = 0; at < text_keysyms.size(); ++at) {
    char name[64], entry[128];
    xkb_keysym_get_name(text_keysyms[at], name, sizeof name);
    snprintf(entry, sizeof entry, " <T%zu> = %zu;", 135 + at, 135 + at);
    codes += entry;
    snprintf(entry, sizeof entry, " key <T%zu> { [ %s ] };", 135 + at, name);
    symbols += entry;
  }
  return codes +
         " };\nxkb_types \"input-agent-text\" { type \"ONE_LEVEL\" { modifiers = none; "
         "level_name[Level1] = \"Any\"; }; };\nxkb_compatibility \"input-agent-text\" { };\n" +
         symbols + " };\n};\n";
}

void type_text(wl_display* display) {
  zwp_virtual_keyboard_v1* keyboard =
      zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboard_manager, seat);
  std::string layout = us_keymap();
  int layout_fd = keymap_file(layout);
  zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, layout_fd,
                                 static_cast<uint32_t>(layout.size() + 1));
  close(layout_fd);
  wl_display_roundtrip(display);
  std::vector<uint32_t> keys;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (assign_keys(text_of(line), keys)) {
      std::string keymap = text_keymap();
      int fd = keymap_file(keymap);
      zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                     static_cast<uint32_t>(keymap.size() + 1));
      close(fd);
      zwp_virtual_keyboard_v1_modifiers(keyboard, 1, 0, 0, 0);
      zwp_virtual_keyboard_v1_modifiers(keyboard, 0, 0, 0, 0);
    }
    for (size_t i = 0; i < keys.size(); ++i) {
      for (auto state : {WL_KEYBOARD_KEY_STATE_PRESSED, WL_KEYBOARD_KEY_STATE_RELEASED}) {
        zwp_virtual_keyboard_v1_key(keyboard, 0, keys[i] - 8, state);
      }
      if (i % 64 == 63) flush(display);
    }
    flush(display);
  }
}

void move_pointer(wl_display* display) {
  zwlr_virtual_pointer_v1* pointer =
      zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointer_manager, seat);
  wl_display_roundtrip(display);
  constexpr uint32_t kWidth = 1280, kHeight = 800;
  std::string line;
  for (long i = 0; std::getline(std::cin, line); ++i) {
    zwlr_virtual_pointer_v1_motion_absolute(pointer, 0, i * 7919 % 10007 * (kWidth - 1) / 10007,
                                            i * 104729 % 10009 * (kHeight - 1) / 10009, kWidth,
                                            kHeight);
    zwlr_virtual_pointer_v1_frame(pointer);
    flush(display);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool text = argc == 2 && strcmp(argv[1], "text") == 0;
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return 1;
  wl_registry_add_listener(wl_display_get_registry(display), &kRegistryListener, nullptr);
  wl_display_roundtrip(display);
  if (!seat || !(text ? static_cast<void*>(keyboard_manager) : pointer_manager)) return 1;
  std::ios::sync_with_stdio(false);
  if (text) {
    type_text(display);
  } else {
    move_pointer(display);
  }
  wl_display_roundtrip(display);
  wl_display_disconnect(display);
  return 0;
}
