#include "platform/xkbcommon.h"

#include <dlfcn.h>

#include <optional>

namespace {

std::optional<Xkbcommon> load() {
  // Kept loaded for the life of the process.
  void* library = dlopen("libxkbcommon.so.0", RTLD_NOW | RTLD_LOCAL);
  if (!library) return std::nullopt;
  bool complete = true;
  auto find = [&]<typename Function>(Function& function, const char* name) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    complete = complete && function;
  };
  Xkbcommon x;
  find(x.context_new, "xkb_context_new");
  find(x.context_unref, "xkb_context_unref");
  find(x.keymap_new_from_names, "xkb_keymap_new_from_names");
  find(x.keymap_new_from_string, "xkb_keymap_new_from_string");
  find(x.keymap_get_as_string, "xkb_keymap_get_as_string");
  find(x.keymap_unref, "xkb_keymap_unref");
  find(x.state_new, "xkb_state_new");
  find(x.state_unref, "xkb_state_unref");
  find(x.state_update_key, "xkb_state_update_key");
  find(x.state_serialize_mods, "xkb_state_serialize_mods");
  find(x.state_serialize_layout, "xkb_state_serialize_layout");
  if (!complete) return std::nullopt;
  return x;
}

}  // namespace

const Xkbcommon* xkbcommon() {
  static const std::optional<Xkbcommon> loaded = load();
  return loaded ? &*loaded : nullptr;
}
