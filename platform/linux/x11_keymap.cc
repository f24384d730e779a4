// The X11 backend's following of the keymap: the key table's keys found by
// their XKB names, what the keymap's keys type in each group, and the
// server's announcements of changes to either.
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/linux/loaders/xkbcommon.h"
#include "platform/linux/x11.h"

namespace x11 {

// The XKB name of the key at each macOS virtual key code's position.
struct KeyPosition {
  uint16_t code;
  const char* name;
};

constexpr KeyPosition kKeyPositions[] = {
    {0, "AC01"},   {1, "AC02"},   {2, "AC03"},   {3, "AC04"},   {4, "AC06"},   {5, "AC05"},
    {6, "AB01"},   {7, "AB02"},   {8, "AB03"},   {9, "AB04"},   {11, "AB05"},  {12, "AD01"},
    {13, "AD02"},  {14, "AD03"},  {15, "AD04"},  {16, "AD06"},  {17, "AD05"},  {18, "AE01"},
    {19, "AE02"},  {20, "AE03"},  {21, "AE04"},  {22, "AE06"},  {23, "AE05"},  {24, "AE12"},
    {25, "AE09"},  {26, "AE07"},  {27, "AE11"},  {28, "AE08"},  {29, "AE10"},  {30, "AD12"},
    {31, "AD09"},  {32, "AD07"},  {33, "AD11"},  {34, "AD08"},  {35, "AD10"},  {36, "RTRN"},
    {37, "AC09"},  {38, "AC07"},  {39, "AC11"},  {40, "AC08"},  {41, "AC10"},  {42, "BKSL"},
    {43, "AB08"},  {44, "AB10"},  {45, "AB06"},  {46, "AB07"},  {47, "AB09"},  {48, "TAB"},
    {49, "SPCE"},  {50, "TLDE"},  {51, "BKSP"},  {53, "ESC"},   {54, "RWIN"},  {55, "LWIN"},
    {56, "LFSH"},  {57, "CAPS"},  {58, "LALT"},  {59, "LCTL"},  {60, "RTSH"},  {61, "RALT"},
    {62, "RCTL"},  {96, "FK05"},  {97, "FK06"},  {98, "FK07"},  {99, "FK03"},  {100, "FK08"},
    {101, "FK09"}, {103, "FK11"}, {109, "FK10"}, {111, "FK12"}, {114, "INS"},  {115, "HOME"},
    {116, "PGUP"}, {117, "DELE"}, {118, "FK04"}, {119, "END"},  {120, "FK02"}, {121, "PGDN"},
    {122, "FK01"}, {123, "LEFT"}, {124, "RGHT"}, {125, "DOWN"}, {126, "UP"},
};

bool same_name(const char* xkb_name, const char* name) {
  return strncmp(xkb_name, name, XCB_XKB_CONST_KEY_NAME_LENGTH) == 0;
}

std::array<xcb_keycode_t, kKeyCodeLimit> keycodes_from(const xcb_xkb_get_names_reply_t* names) {
  std::array<xcb_keycode_t, kKeyCodeLimit> keycodes{};
  if (!names) return keycodes;
  xcb_xkb_get_names_value_list_t list;
  xcb_xkb_get_names_value_list_unpack(xcb_xkb_get_names_value_list(names), names->nTypes,
                                      names->indicators, names->virtualMods, names->groupNames,
                                      names->nKeys, names->nKeyAliases, names->nRadioGroups,
                                      names->which, &list);
  auto keycode_named = [&](const char* name) -> xcb_keycode_t {
    for (int i = 0; i < names->nKeys; ++i) {
      if (same_name(list.keyNames[i].name, name)) return names->firstKey + i;
    }
    return 0;
  };
  for (const KeyPosition& position : kKeyPositions) {
    xcb_keycode_t keycode = keycode_named(position.name);
    for (int i = 0; !keycode && i < names->nKeyAliases; ++i) {
      if (same_name(list.keyAliases[i].alias, position.name)) {
        keycode = keycode_named(list.keyAliases[i].real);
      }
    }
    keycodes[position.code] = keycode;
  }
  return keycodes;
}

xcb_xkb_get_names_cookie_t ask_key_names(xcb_connection_t* c) {
  return xcb_xkb_get_names(c, XCB_XKB_ID_USE_CORE_KBD,
                           XCB_XKB_NAME_DETAIL_KEY_NAMES | XCB_XKB_NAME_DETAIL_KEY_ALIASES);
}

// A round trip, made at start and after each notified keymap change only.
std::array<xcb_keycode_t, kKeyCodeLimit> read_keycodes(const Server& x) {
  xcb_connection_t* c = x.connection.get();
  return keycodes_from(answer<xcb_xkb_get_names_reply_t>(c, ask_key_names(c)).get());
}

// Whether an XKB notification means keys may have other codes now: a
// keyboard loaded by name (setxkbmap) or new key names (xkbcomp). Whenever
// input switches between devices (the person's keyboard, XTest's) the server
// announces a new keyboard too, citing SetMap; that changes no key names.
bool moves_keys(const xcb_generic_event_t* event) {
  switch (reinterpret_cast<const xcb_xkb_new_keyboard_notify_event_t*>(event)->xkbType) {
    case XCB_XKB_NEW_KEYBOARD_NOTIFY: {
      auto* keyboard = reinterpret_cast<const xcb_xkb_new_keyboard_notify_event_t*>(event);
      return keyboard->requestMinor == XCB_XKB_GET_KBD_BY_NAME &&
             (keyboard->changed & XCB_XKB_NKN_DETAIL_KEYCODES);
    }
    case XCB_XKB_NAMES_NOTIFY:
      return reinterpret_cast<const xcb_xkb_names_notify_event_t*>(event)->changed &
             (XCB_XKB_NAME_DETAIL_KEY_NAMES | XCB_XKB_NAME_DETAIL_KEY_ALIASES);
    default:
      return false;
  }
}

bool is_spare(const Server& x, int keycode) {
  return std::any_of(x.spares.begin(), x.spares.end(),
                     [&](const Spare& spare) { return spare.keycode == keycode; });
}

// Whether an XKB notification gives keys other than the spares new keysyms:
// the agent's own changes to the spares come back as these too.
bool changes_keysyms_beyond_spares(const Server& x, const xcb_generic_event_t* event) {
  auto* map = reinterpret_cast<const xcb_xkb_map_notify_event_t*>(event);
  if (map->xkbType != XCB_XKB_MAP_NOTIFY || !(map->changed & XCB_XKB_MAP_PART_KEY_SYMS)) {
    return false;
  }
  for (int keycode = map->firstKeySym; keycode < map->firstKeySym + map->nKeySyms; ++keycode) {
    if (!is_spare(x, keycode)) return true;
  }
  return false;
}

// Takes in, once per read of the agent's input (at its first command that
// needs it), whatever the server has sent, without waiting for more (one
// read of the connection), and re-reads the layout or the key names if they
// changed, so a change announced before the read applies to every command
// it brought. Errors the server reports for refused requests arrive here
// too and are dropped.
void follow_changes(Server& x) {
  if (x.changes_taken_in) return;
  x.changes_taken_in = true;
  bool layout_changed = false, keymap_changed = false;
  while (auto event = own(xcb_poll_for_event(x.connection.get()))) {
    uint8_t type = event->response_type & 0x7f;
    if (type == XCB_CONFIGURE_NOTIFY) {
      auto* configure = reinterpret_cast<xcb_configure_notify_event_t*>(event.get());
      if (configure->window == x.root) {
        x.screen.width = configure->width;
        x.screen.height = configure->height;
      }
      layout_changed = true;
    }
    if (x.randr_event_base && type == x.randr_event_base + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
      layout_changed = true;
    }
    if (x.xkb_event_base && type == x.xkb_event_base) {
      bool moved = moves_keys(event.get());
      keymap_changed |= moved;
      // The server sends an XKB client these instead of MappingNotify.
      if (moved || changes_keysyms_beyond_spares(x, event.get())) x.typing_read = false;
    }
  }
  if (layout_changed) read_displays(x);
  if (keymap_changed) {
    x.keycodes = read_keycodes(x);
    // The new keymap may use the spares; they are looked for again.
    x.spares.clear();
    x.spares_found = false;
  }
}

// The group XKB takes for `key`'s symbols while `group` is in force: one
// beyond the key's groups wraps round, is clamped or is redirected, as the
// key says.
uint8_t group_of_key(const xcb_xkb_key_sym_map_t& key, uint8_t group) {
  uint8_t groups = key.groupInfo & 0x0f;
  if (group < groups) return group;
  switch (key.groupInfo & 0xc0) {
    case XCB_XKB_GROUPS_WRAP_CLAMP_INTO_RANGE:
      return groups - 1;
    case XCB_XKB_GROUPS_WRAP_REDIRECT_INTO_RANGE: {
      uint8_t redirected = (key.groupInfo >> 4) & 0x03;
      return redirected < groups ? redirected : 0;
    }
    default:
      return group % groups;
  }
}

// Learns what `level` (0 plain, 1 shifted) of `key`, keycode `keycode`,
// types in each group, where the key is a main one or, as `extra` says, an
// extra one.
void learn_key(Server& x, const Xkbcommon& xkb, const xcb_xkb_key_sym_map_t& key,
               xcb_keycode_t keycode, int level, bool extra) {
  if (level >= key.width) return;
  const xcb_keysym_t* keysyms = xcb_xkb_key_sym_map_syms(&key);
  // X numbers keys 8 above evdev (and from 8 on).
  auto evdev = static_cast<uint16_t>(keycode - 8);
  for (uint8_t group = 0; group < x.typing.size(); ++group) {
    xcb_keysym_t keysym = keysyms[group_of_key(key, group) * key.width + level];
    if (platform::is_extra_key(keysym, evdev) == extra) {
      learn_typing(x.typing[group], xkb, keysym, evdev, level == 1);
    }
  }
}

// The keyboard's symbols, as XKB has them for each group (the core
// mapping shows the first group alone).
Owned<xcb_xkb_get_map_reply_t> ask_key_symbols(xcb_connection_t* c) {
  return answer<xcb_xkb_get_map_reply_t>(
      c, xcb_xkb_get_map(c, XCB_XKB_ID_USE_CORE_KBD, XCB_XKB_MAP_PART_KEY_SYMS, 0, 0, 0, 0, 0, 0, 0,
                         0, 0, 0, 0, 0, 0, 0, 0, 0));
}

// Reads the keymap, a round trip at the first text and after each change
// of it: the keycodes it leaves empty, the first time, and what the other
// keys' plain and shifted levels type in each group.
void read_keymap(Server& x) {
  x.typing_read = true;
  for (platform::TypingTable& table : x.typing) table.clear();
  xcb_connection_t* c = x.connection.get();
  if (!x.spares_found) give_back_spares_of_agents_gone(x);
  auto reply = ask_key_symbols(c);
  if (!reply) return;
  xcb_xkb_get_map_map_t map{};
  xcb_xkb_get_map_map_unpack(xcb_xkb_get_map_map(reply.get()), reply->nTypes, reply->nKeySyms,
                             reply->nKeyActions, reply->totalActions, reply->totalKeyBehaviors,
                             reply->virtualMods, reply->totalKeyExplicit, reply->totalModMapKeys,
                             reply->totalVModMapKeys, reply->present, &map);
  if (!x.spares_found) {
    x.spares_found = true;
    std::vector<Spare> found;
    auto key = xcb_xkb_get_map_map_syms_rtrn_iterator(reply.get(), &map);
    for (int keycode = reply->firstKeySym; key.rem; xcb_xkb_key_sym_map_next(&key), ++keycode) {
      if (key.data->nSyms == 0) found.push_back({static_cast<xcb_keycode_t>(keycode), 0, {}});
    }
    // From the top, where keyboards have no keys.
    x.spares.assign(found.rbegin(), found.rend());
  }
  const Xkbcommon* xkb = xkbcommon();
  if (!xkb) return;
  for (bool extra : {false, true}) {
    for (int level : {0, 1}) {
      auto key = xcb_xkb_get_map_map_syms_rtrn_iterator(reply.get(), &map);
      for (int keycode = reply->firstKeySym; key.rem; xcb_xkb_key_sym_map_next(&key), ++keycode) {
        if (keycode >= 8 && key.data->nSyms > 0 && !is_spare(x, keycode)) {
          learn_key(x, *xkb, *key.data, static_cast<xcb_keycode_t>(keycode), level, extra);
        }
      }
    }
  }
}

}  // namespace x11
