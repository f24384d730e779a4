#include "input/release.h"

#include "input/clicks.h"
#include "input/held.h"
#include "platform/platform.h"

void release() {
  for (uint16_t code = 0; code < kKeyCodeLimit; ++code) {
    if (!pressed[code]) continue;
    pressed[code] = false;
    // Keys not yet released still count, as they would for a person letting go.
    platform::post_key(code, false, false, flags());
  }
  if (buttons.none()) return forget_clicks();
  platform::Point at = platform::cursor().value_or(platform::Point{0, 0});
  for (int index = 0; index < 3; ++index) {
    if (!buttons[index]) continue;
    const ButtonInfo& info = button_table[index];
    platform::post_mouse(info.release_type, at, info.platform_button, flags(), clicks_of(index));
    buttons[index] = false;
  }
  forget_clicks();
}
