// The X11 backend's text: on the keymap's own keys where it has them, else
// on spare keycodes given the characters' keysyms.
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/linux/x11.h"
#include "platform/stop.h"

namespace x11 {

// Text is typed on the keys of the keymap where it has them: a character on
// a key's plain or shifted level (of the first group) is that key, with
// Shift for the shifted one. Caps Lock, when locked, is unlocked for the
// text and locked again after it: applications turn letters to the other
// case by it, on their own keys and on spares alike (Xlib's lookup does,
// whatever the key's type). Every other character goes through spare
// keycodes, ones the keymap leaves empty: its keysym is put on one (both
// levels, so Shift does not change it) and the key pressed and released. A
// spare keeps its keysym for later text and is given another only when
// every spare is in use, the one used longest ago first: an application
// learns of a mapping change when it gets to the change's notification, and
// asks for the mapping then, by which time a spare given away at once could
// hold another character. The core keyboard and every keyboard attached to
// it, XTest's included, take a mapping change together. The modifiers the
// agent holds go up for the text and down again after it. Every spare used
// is emptied again when the agent ends.
constexpr uint16_t kShiftLeft = 56, kCapsLock = 57;  // the key table's

// An application looks a key's keysym up when it gets to the key's event,
// in the mapping the server has then: a spare given another keysym, or
// emptied at exit, before that loses the character typed with it. So a
// spare is given another keysym, and emptied at exit, only this long after
// it was last typed with. (xterm lost every spare character typed just
// before the agent ended.)
constexpr std::chrono::milliseconds kSpareSettle{100};

// The keysym X names a character by: Latin-1's own value, else the Unicode
// keysym; Return and Tab their keys'.
xcb_keysym_t keysym_of(char32_t character) {
  if (character == U'\n') return 0xff0d;
  if (character == U'\t') return 0xff09;
  if ((character >= 0x20 && character < 0x7f) || (character >= 0xa0 && character <= 0xff)) {
    return character;
  }
  return 0x01000000 | character;
}

// Waits, where a spare was typed with less than kSpareSettle before `since`,
// for the rest of that time, the requests so far sent.
void settle(Server& x, std::chrono::steady_clock::time_point since) {
  auto left = since + kSpareSettle - std::chrono::steady_clock::now();
  if (left <= left.zero()) return;
  xcb_flush(x.connection.get());
  std::this_thread::sleep_for(left);
}

// A spare keycode holding `keysym`, given it if none does; 0 when there are
// no spares.
xcb_keycode_t key_for(Server& x, xcb_keysym_t keysym) {
  if (x.spares.empty()) return 0;
  Spare* oldest = &x.spares.front();
  for (Spare& spare : x.spares) {
    if (spare.keysym == keysym) {
      spare.used = std::chrono::steady_clock::now();
      return spare.keycode;
    }
    if (spare.used < oldest->used) oldest = &spare;
  }
  settle(x, oldest->used);
  xcb_keysym_t both[2] = {keysym, keysym};
  xcb_change_keyboard_mapping(x.connection.get(), 1, oldest->keycode, 2, both);
  oldest->keysym = keysym;
  record_spares(x);
  oldest->used = std::chrono::steady_clock::now();
  return oldest->keycode;
}

// Presses or releases (`type`) every modifier key the agent holds.
void fake_held_modifiers(Server& x, uint8_t type) {
  for (uint16_t code = 0; code < kKeyCodeLimit; ++code) {
    if (x.held[code] && is_modifier(code)) fake_input(x, type, x.held[code]);
  }
}

// A round trip, once for each text.
KeyboardState keyboard_state(Server& x) {
  if (!x.xkb_event_base) return {false, 0};
  xcb_connection_t* c = x.connection.get();
  auto state = answer<xcb_xkb_get_state_reply_t>(c, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD));
  if (!state) return {false, 0};
  return {(state->lockedMods & XCB_MOD_MASK_LOCK) != 0, static_cast<uint8_t>(state->group & 3)};
}

// Whether the agent holds the key `keycode` down for the controller.
bool holds(const Server& x, xcb_keycode_t keycode) {
  return std::find(x.held.begin(), x.held.end(), keycode) != x.held.end();
}

// Presses and releases `keycode`, with Shift around it when `shift` is not 0.
void type_key(Server& x, xcb_keycode_t keycode, xcb_keycode_t shift = 0) {
  if (shift) fake_input(x, XCB_KEY_PRESS, shift);
  fake_input(x, XCB_KEY_PRESS, keycode);
  fake_input(x, XCB_KEY_RELEASE, keycode);
  if (shift) fake_input(x, XCB_KEY_RELEASE, shift);
}

void post_text(const char32_t* text, size_t count) {
  Server& x = server();
  follow_changes(x);
  if (!x.typing_read) read_keymap(x);
  xcb_keycode_t shift = x.keycodes[kShiftLeft], caps_lock = x.keycodes[kCapsLock];
  KeyboardState state = keyboard_state(x);
  const platform::TypingTable& typing = x.typing[state.group];
  // A Caps Lock the controller holds (which locked it) goes up for the
  // unlocking tap, and down again after the text, which locks it again.
  bool unlock = caps_lock && state.caps_locked;
  bool caps_held = x.held[kCapsLock] != 0;
  fake_held_modifiers(x, XCB_KEY_RELEASE);
  if (unlock && caps_held) fake_input(x, XCB_KEY_RELEASE, x.held[kCapsLock]);
  if (unlock) type_key(x, caps_lock);
  // The agent's end ends the text where it is: with every spare in use,
  // each character waits for one to settle.
  for (size_t i = 0; i < count && !ending(); ++i) {
    // A key the controller holds stays down: its character goes on a spare.
    auto own_key = typing.find(text[i]);
    if (own_key != typing.end() && (shift || !own_key->second.shifted) &&
        !holds(x, static_cast<xcb_keycode_t>(own_key->second.key + 8))) {
      auto [key, shifted] = own_key->second;
      type_key(x, static_cast<xcb_keycode_t>(key + 8), shifted ? shift : 0);
    } else if (xcb_keycode_t spare = key_for(x, keysym_of(text[i]))) {
      type_key(x, spare);
    }
  }
  if (unlock && caps_held) {
    fake_input(x, XCB_KEY_PRESS, x.held[kCapsLock]);
  } else if (unlock) {
    type_key(x, caps_lock);
  }
  fake_held_modifiers(x, XCB_KEY_PRESS);
}

// Empties every spare the agent gave a keysym, once the last typed with has
// settled; nothing to do on a connection that has failed, whose keysyms the
// server has let go of with it.
void restore_spares(Server& x) {
  if (xcb_connection_has_error(x.connection.get())) return;
  auto last = std::max_element(x.spares.begin(), x.spares.end(),
                               [](const Spare& a, const Spare& b) { return a.used < b.used; });
  if (last != x.spares.end()) settle(x, last->used);
  xcb_keysym_t none[2] = {0, 0};
  for (Spare& spare : x.spares) {
    if (spare.keysym) {
      xcb_change_keyboard_mapping(x.connection.get(), 1, spare.keycode, 2, none);
      spare.keysym = 0;
    }
  }
  // Every spare is empty again: the record goes.
  if (x.spares_record != XCB_ATOM_NONE) {
    xcb_delete_property(x.connection.get(), x.root, x.spares_record);
  }
}

}  // namespace x11
