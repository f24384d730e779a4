// The Linux input subsystem's key codes (evdev, <linux/input-event-codes.h>)
// for the physical keys of the key table, for the backends that speak them
// (Wayland's virtual keyboard, uinput).
#pragma once

#include <cstdint>

// The evdev code of the key at macOS virtual key code `code`'s position, or
// 0 when the table has no such key.
uint16_t evdev_code(uint16_t code);

// The evdev button (BTN_LEFT, BTN_RIGHT, BTN_MIDDLE) of a platform button
// number (kButtonLeft, kButtonRight, kButtonCenter).
uint16_t evdev_button(uint32_t platform_button);
