#include "input/keyboard.h"

#include "input/held.h"
#include "keymap/keys.h"
#include "platform/platform.h"

void key(uint16_t code, bool down) {
  bool repeat = down && pressed[code];
  pressed[code] = down;
  platform::post_key(code, down, repeat, flags());
}

void handle_key(const Command& command) {
  std::optional<std::string_view> name = as_text(command.code);
  if (!name) return;
  std::optional<uint16_t> code = lookup_key(*name);
  if (!code) return;
  std::optional<bool> down = as_bool(command.down);
  if (!down) return;
  key(*code, *down);
}
