// xkbcommon, which the Wayland backend needs to work out the modifiers from
// the keymap, is loaded only when that backend is tried: the one Linux
// executable then starts where the library is missing (a minimal X server
// machine, a console), and the X11 and uinput backends work there.
#pragma once

#include <xkbcommon/xkbcommon.h>

struct Xkbcommon {
  decltype(&xkb_context_new) context_new;
  decltype(&xkb_context_unref) context_unref;
  decltype(&xkb_keymap_new_from_names) keymap_new_from_names;
  decltype(&xkb_keymap_new_from_string) keymap_new_from_string;
  decltype(&xkb_keymap_new_from_buffer) keymap_new_from_buffer;
  decltype(&xkb_keymap_get_as_string) keymap_get_as_string;
  decltype(&xkb_keymap_unref) keymap_unref;
  decltype(&xkb_state_new) state_new;
  decltype(&xkb_state_unref) state_unref;
  decltype(&xkb_state_update_key) state_update_key;
  decltype(&xkb_state_serialize_mods) state_serialize_mods;
  decltype(&xkb_state_serialize_layout) state_serialize_layout;
  decltype(&xkb_utf32_to_keysym) utf32_to_keysym;
  decltype(&xkb_keysym_to_utf32) keysym_to_utf32;
  decltype(&xkb_keysym_get_name) keysym_get_name;
  decltype(&xkb_keymap_min_keycode) keymap_min_keycode;
  decltype(&xkb_keymap_max_keycode) keymap_max_keycode;
  decltype(&xkb_keymap_key_get_syms_by_level) keymap_key_get_syms_by_level;
};

// The library's functions, loaded at the first call; nullptr when it or one
// of them is missing.
const Xkbcommon* xkbcommon();
