// The Linux input subsystem's key codes (evdev, <linux/input-event-codes.h>)
// for the physical keys of the key table, for the backends that speak them
// (Wayland's virtual keyboard, uinput).
#pragma once

#include <linux/input-event-codes.h>

#include <array>
#include <cstdint>

#include "keymap/keys.h"

// The evdev code of the key at macOS virtual key code `code`'s position, or
// 0 when the table has no such key.
uint16_t evdev_code(uint16_t code);

// The evdev button (BTN_LEFT, BTN_RIGHT, BTN_MIDDLE) of a platform button
// number (kButtonLeft, kButtonRight, kButtonCenter).
uint16_t evdev_button(uint32_t platform_button);

// The keys a backend that posts evdev codes holds down for the controller,
// by the key table's codes.
using HeldKeys = std::array<bool, kKeyCodeLimit>;

// Whether a key in `held` is evdev `key`.
bool holds(const HeldKeys& held, uint16_t key);

// Presses or releases, through `press(key, down)`, every modifier key in
// `held`: text goes without the modifiers the controller holds.
template <typename Press>
void press_held_modifiers(const HeldKeys& held, bool down, Press press) {
  for (uint16_t code = 0; code < kKeyCodeLimit; ++code) {
    if (held[code] && is_modifier(code)) press(evdev_code(code), down);
  }
}

// Types the character on evdev `key`, with Shift around it when `shifted`,
// through `press(key, down)`. These devices have no spare keys, so a key the
// controller holds goes up and down again, which types it, and stays down.
template <typename Press>
void type_key(const HeldKeys& held, uint16_t key, bool shifted, Press press) {
  bool down = holds(held, key);
  if (shifted) press(KEY_LEFTSHIFT, true);
  press(key, !down);
  press(key, down);
  if (shifted) press(KEY_LEFTSHIFT, false);
}
