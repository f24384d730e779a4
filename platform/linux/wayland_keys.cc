// The Wayland backend's keyboard: the keymap the virtual keyboard types
// with, the person's, and its keys with the modifiers they make.
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "keymap/evdev.h"
#include "platform/linux/loaders/xkbcommon.h"
#include "platform/linux/wayland.h"

namespace wayland {

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

}  // namespace wayland
