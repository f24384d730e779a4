#include "input/held.h"

#include "platform/platform.h"

std::bitset<kKeyCodeLimit> pressed;
std::bitset<3> buttons;

const ButtonInfo button_table[3] = {
    {platform::kLeftMouseDown, platform::kLeftMouseUp, platform::kButtonLeft},
    {platform::kOtherMouseDown, platform::kOtherMouseUp, platform::kButtonCenter},
    {platform::kRightMouseDown, platform::kRightMouseUp, platform::kButtonRight},
};

namespace {

struct ModifierKeys {
  uint16_t left;
  uint16_t right;
  uint64_t bit;
};

constexpr ModifierKeys kModifiers[] = {
    {56, 60, platform::kFlagShift},      // ShiftLeft, ShiftRight
    {59, 62, platform::kFlagControl},    // ControlLeft, ControlRight
    {58, 61, platform::kFlagAlternate},  // AltLeft, AltRight
    {55, 54, platform::kFlagCommand},    // MetaLeft, MetaRight
};

}  // namespace

uint64_t flags() {
  uint64_t mask = 0;
  for (const ModifierKeys& modifier : kModifiers) {
    if (pressed[modifier.left] || pressed[modifier.right]) mask |= modifier.bit;
  }
  return mask;
}
