#include "platform/linux/typing.h"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <memory>

namespace platform {

void learn_typing(TypingTable& table, const Xkbcommon& xkb, uint32_t keysym, uint16_t key,
                  bool shifted) {
  char32_t character = xkb.keysym_to_utf32(keysym);
  if (character == U'\r') character = U'\n';
  if (character != 0) table.emplace(character, Typing{key, shifted});
}

bool is_extra_key(uint32_t keysym, uint16_t key) {
  bool keypad = keysym >= XKB_KEY_KP_Space && keysym <= XKB_KEY_KP_Equal;
  return keypad || key == KEY_102ND;
}

TypingTable typing_from_keymap(const Xkbcommon& xkb, xkb_keymap* keymap, uint32_t group) {
  TypingTable table;
  // XKB numbers keys 8 above evdev.
  xkb_keycode_t first = std::max<xkb_keycode_t>(xkb.keymap_min_keycode(keymap), 8);
  xkb_keycode_t last = xkb.keymap_max_keycode(keymap);
  for (bool extra : {false, true}) {
    for (int level : {0, 1}) {
      for (xkb_keycode_t code = first; code <= last; ++code) {
        const xkb_keysym_t* keysyms = nullptr;
        auto key = static_cast<uint16_t>(code - 8);
        if (xkb.keymap_key_get_syms_by_level(keymap, code, group, level, &keysyms) == 1 &&
            is_extra_key(keysyms[0], key) == extra) {
          learn_typing(table, xkb, keysyms[0], key, level == 1);
        }
      }
    }
  }
  return table;
}

TypingTable typing_from_keymap_text(const Xkbcommon& xkb, const char* text, size_t size) {
  std::unique_ptr<xkb_context, void (*)(xkb_context*)> context(
      xkb.context_new(XKB_CONTEXT_NO_FLAGS), xkb.context_unref);
  if (!context) return {};
  std::unique_ptr<xkb_keymap, void (*)(xkb_keymap*)> keymap(
      xkb.keymap_new_from_buffer(context.get(), text, size, XKB_KEYMAP_FORMAT_TEXT_V1,
                                 XKB_KEYMAP_COMPILE_NO_FLAGS),
      xkb.keymap_unref);
  return keymap ? typing_from_keymap(xkb, keymap.get()) : TypingTable{};
}

}  // namespace platform
