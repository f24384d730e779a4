#include "platform/linux/loaders/xkbcommon.h"

#include <optional>

#include "platform/linux/loaders/library.h"

namespace {

std::optional<Xkbcommon> load() {
  Library library("libxkbcommon.so.0");
  Xkbcommon x;
  library.find(x.context_new, "xkb_context_new");
  library.find(x.context_unref, "xkb_context_unref");
  library.find(x.keymap_new_from_names, "xkb_keymap_new_from_names");
  library.find(x.keymap_new_from_string, "xkb_keymap_new_from_string");
  library.find(x.keymap_new_from_buffer, "xkb_keymap_new_from_buffer");
  library.find(x.keymap_get_as_string, "xkb_keymap_get_as_string");
  library.find(x.keymap_unref, "xkb_keymap_unref");
  library.find(x.state_new, "xkb_state_new");
  library.find(x.state_unref, "xkb_state_unref");
  library.find(x.state_update_key, "xkb_state_update_key");
  library.find(x.state_serialize_mods, "xkb_state_serialize_mods");
  library.find(x.state_serialize_layout, "xkb_state_serialize_layout");
  library.find(x.utf32_to_keysym, "xkb_utf32_to_keysym");
  library.find(x.keysym_to_utf32, "xkb_keysym_to_utf32");
  library.find(x.keysym_get_name, "xkb_keysym_get_name");
  library.find(x.keymap_min_keycode, "xkb_keymap_min_keycode");
  library.find(x.keymap_max_keycode, "xkb_keymap_max_keycode");
  library.find(x.keymap_key_get_syms_by_level, "xkb_keymap_key_get_syms_by_level");
  if (!library.complete()) return std::nullopt;
  return x;
}

}  // namespace

const Xkbcommon* xkbcommon() {
  static const std::optional<Xkbcommon> loaded = load();
  return loaded ? &*loaded : nullptr;
}
