// The keymap text of an XKB layout (evdev rules, pc105), for the test
// programs that stand for a person's keyboard or a display server's seat;
// empty when it does not compile.
#pragma once

#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <string>

inline std::string layout_keymap(const char* layout) {
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_rule_names names{"evdev", "pc105", layout, nullptr, nullptr};
  xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
  char* text = keymap ? xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : nullptr;
  std::string copy = text ? text : "";
  free(text);
  xkb_keymap_unref(keymap);
  xkb_context_unref(context);
  return copy;
}
