// The Wayland backend's text, typed with keymaps made for it.
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <optional>
#include <vector>

#include "platform/linux/loaders/xkbcommon.h"
#include "platform/linux/wayland.h"

namespace wayland {

// Text goes through a keymap made for it, which gives a key of its own to
// each keysym the text needs, on one level, with no modifiers. The virtual
// keyboard is given it, the modifiers are announced as none, and each
// character is pressed and released. The text keymap stays while text follows text,
// and grows with each keysym a later text needs, until it is full (then a
// new one starts): a compositor compiles each keymap it is given, for the
// agent's keyboard and again for each application, so text that brings no
// new keysym costs none. Before any other input, and once input pauses
// after text, the layout's keymap and the modifiers held come back. A compositor sends applications
// each keymap before the keys typed with it. Text keys are XKB keycodes the key table never uses
// (above its last, 134), so no key the agent holds is one of them.
constexpr uint32_t kFirstTextKey = 135, kLastTextKey = 255;
constexpr size_t kTextKeys = kLastTextKey - kFirstTextKey + 1;
// libwayland fails for good when a request does not fit its 4 KiB buffer and
// the socket is full, so text is sent every 64 characters (40 bytes each),
// waiting for room when the compositor is behind.
constexpr size_t kKeysPerSend = 64;

xkb_keysym_t keysym_of(const Xkbcommon& xkb, char32_t character) {
  if (character == U'\n') return XKB_KEY_Return;
  if (character == U'\t') return XKB_KEY_Tab;
  return xkb.utf32_to_keysym(character);
}

// Finds each character's key in the text keymap from `text` on, adding the
// keysyms it lacks while it has room, with each character's key (0 for none)
// in `keys`; returns how many characters it takes, and whether it added any.
size_t assign_text_keys(Compositor& c, const char32_t* text, size_t count, uint32_t* keys,
                        bool& added) {
  const Xkbcommon& xkb = *c.xkb.library;
  std::vector<xkb_keysym_t>& keysyms = c.text_keysyms;
  size_t taken = 0;
  for (; taken < count; ++taken) {
    xkb_keysym_t keysym = keysym_of(xkb, text[taken]);
    keys[taken] = 0;
    if (keysym == XKB_KEY_NoSymbol) continue;
    size_t at = std::find(keysyms.begin(), keysyms.end(), keysym) - keysyms.begin();
    if (at == keysyms.size()) {
      if (at == kTextKeys) break;
      keysyms.push_back(keysym);
      added = true;
    }
    keys[taken] = kFirstTextKey + static_cast<uint32_t>(at);
  }
  return taken;
}

// Writes the text keymap for c.text_keysyms into c.text_keymap.
void write_text_keymap(Compositor& c) {
  const Xkbcommon& xkb = *c.xkb.library;
  c.text_keymap.assign(
      "xkb_keymap {\nxkb_keycodes \"input-agent-text\" { minimum = 8; maximum = 255;");
  c.text_symbols.assign("xkb_symbols \"input-agent-text\" {");
  for (size_t at = 0; at < c.text_keysyms.size(); ++at) {
    char name[64], entry[128];
    xkb.keysym_get_name(c.text_keysyms[at], name, sizeof name);
    size_t code = kFirstTextKey + at;
    snprintf(entry, sizeof entry, " <T%zu> = %zu;", code, code);
    c.text_keymap += entry;
    snprintf(entry, sizeof entry, " key <T%zu> { [ %s ] };", code, name);
    c.text_symbols += entry;
  }
  c.text_keymap +=
      " };\nxkb_types \"input-agent-text\" { type \"ONE_LEVEL\" { modifiers = none; "
      "level_name[Level1] = \"Any\"; }; };\nxkb_compatibility \"input-agent-text\" { };\n";
  c.text_keymap += c.text_symbols + " };\n};\n";
}

void post_text(const char32_t* text, size_t count) {
  Compositor& c = the_compositor;
  c.text_at = std::chrono::steady_clock::now();
  static uint32_t keys[1000];  // a text command's characters at most
  count = std::min(count, std::size(keys));
  for (size_t done = 0; done < count;) {
    bool added = false;
    size_t taken = assign_text_keys(c, text + done, count - done, keys + done, added);
    if (taken == 0) {  // full: a new text keymap
      c.text_keysyms.clear();
      continue;
    }
    if (added || !c.text_keymap_given) {
      write_text_keymap(c);
      if (!upload_keymap(c, KeymapFile(c.text_keymap))) return;
      announce_modifiers(c, Modifiers{});
      c.text_keymap_given = true;
    }
    uint32_t time = now_ms();  // one for the text: applications take it in order
    for (size_t i = done; i < done + taken; ++i) {
      if (!keys[i]) continue;
      for (auto state : {WL_KEYBOARD_KEY_STATE_PRESSED, WL_KEYBOARD_KEY_STATE_RELEASED}) {
        zwp_virtual_keyboard_v1_key(c.keyboard, time, keys[i] - 8, state);
      }
      if ((i - done) % kKeysPerSend == kKeysPerSend - 1 && !send_all(c)) return;
    }
    done += taken;
  }
  send_all(c);
}

// Gives the virtual keyboard the layout's keymap back after text, and the
// modifiers held.
void end_text(Compositor& c) {
  if (!c.text_keymap_given) return;
  c.text_keymap_given = false;
  upload_keymap(c, *c.layout_file);
  announce_modifiers(c, c.modifiers);
}

// The layout's keymap comes back before any other input, and also once no
// input has come for this long after text: a program that reads the seat's
// keymap meanwhile (another agent starting) would take the text keymap for
// the person's layout.
constexpr std::chrono::milliseconds kTextKeymapKept{250};

// Counted from the last text, so that input that posts nothing (lines
// dropped, a release with nothing held) does not keep the text keymap.
std::optional<std::chrono::milliseconds> idle_bound() {
  const Compositor& c = the_compositor;
  if (!c.text_keymap_given) return std::nullopt;
  return std::chrono::ceil<std::chrono::milliseconds>(c.text_at + kTextKeymapKept -
                                                      std::chrono::steady_clock::now());
}

void on_idle() {
  end_text(the_compositor);
}

}  // namespace wayland
