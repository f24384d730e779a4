// The X11 backend's record of the spare keycodes it has given keysyms, so
// that the next agent gives back what one gone left.
#include <unistd.h>
#include <xcb/xcb.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/x11.h"

namespace x11 {

// An agent that gives spares keysyms records them on the root window, in a
// property of its own (kSparesRecord and its stand-in window's id): the
// mark of its stand-in, then each such spare's keycode and keysym. The
// server destroys the stand-in when the agent's connection ends, however it
// ends; the mark tells the agent's stand-in from a window another client
// makes later with the same id. The next agent to type gives back what an
// agent gone left, which the server keeps in its keymap, and deletes its
// record. A record holds an agent's spares once each, so it stays small.
constexpr size_t kMarkSize = 2;

// Makes the stand-in and names the record, at the first spare given a
// keysym (a round trip, once).
void make_stand_in(Server& x) {
  xcb_connection_t* c = x.connection.get();
  x.stand_in = xcb_generate_id(c);
  xcb_create_window(c, 0, x.stand_in, x.root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, 0, nullptr);
  auto now = std::chrono::system_clock::now().time_since_epoch();
  x.mark = {
      static_cast<uint32_t>(getpid()),
      static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count())};
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, x.stand_in, x.stand_in_mark, XCB_ATOM_CARDINAL, 32,
                      kMarkSize, x.mark.data());
  char name[64];
  snprintf(name, sizeof name, "%s%08x", kSparesRecord, x.stand_in);
  auto atom = answer<xcb_intern_atom_reply_t>(c, xcb_intern_atom(c, false, strlen(name), name),
                                              kAnswerPatience);
  if (atom) x.spares_record = atom->atom;
}

// Writes this agent's record afresh: one request.
void record_spares(Server& x) {
  if (x.stand_in_mark == XCB_ATOM_NONE) return;
  if (!x.stand_in) make_stand_in(x);
  if (x.spares_record == XCB_ATOM_NONE) return;
  std::array<uint32_t, kMarkSize + 2 * 256> values;
  size_t count = 0;
  for (uint32_t word : x.mark) values[count++] = word;
  for (const Spare& spare : x.spares) {
    if (!spare.keysym) continue;
    values[count++] = spare.keycode;
    values[count++] = spare.keysym;
  }
  xcb_change_property(x.connection.get(), XCB_PROP_MODE_REPLACE, x.root, x.spares_record,
                      XCB_ATOM_CARDINAL, 32, count, values.data());
}

// The records of other agents on the root window, by name and stand-in:
// round trips, all asked at once.
std::vector<std::pair<xcb_atom_t, xcb_window_t>> other_records(Server& x) {
  xcb_connection_t* c = x.connection.get();
  auto listed =
      answer<xcb_list_properties_reply_t>(c, xcb_list_properties(c, x.root), kAnswerPatience);
  if (!listed) return {};
  const xcb_atom_t* atoms = xcb_list_properties_atoms(listed.get());
  int count = xcb_list_properties_atoms_length(listed.get());
  std::vector<xcb_get_atom_name_cookie_t> asked;
  for (int i = 0; i < count; ++i) asked.push_back(xcb_get_atom_name(c, atoms[i]));
  std::vector<std::pair<xcb_atom_t, xcb_window_t>> records;
  std::string_view prefix = kSparesRecord;
  for (int i = 0; i < count; ++i) {
    auto name = answer<xcb_get_atom_name_reply_t>(c, asked[i], kAnswerPatience);
    if (!name) continue;
    std::string_view text(xcb_get_atom_name_name(name.get()),
                          xcb_get_atom_name_name_length(name.get()));
    if (!text.starts_with(prefix) || atoms[i] == x.spares_record) continue;
    std::string digits(text.substr(prefix.size()));
    records.emplace_back(atoms[i], static_cast<xcb_window_t>(strtoul(digits.c_str(), nullptr, 16)));
  }
  return records;
}

// Whether the agent `stand_in` stood for is gone: its window no longer
// there, or another's with the same id. Not when the server did not answer.
bool agent_gone(Server& x, xcb_window_t stand_in, const uint32_t* mark) {
  xcb_connection_t* c = x.connection.get();
  xcb_generic_error_t* error = nullptr;
  auto reply = own(static_cast<xcb_get_property_reply_t*>(await_answer(
      c,
      xcb_get_property(c, false, stand_in, x.stand_in_mark, XCB_ATOM_CARDINAL, 0, kMarkSize)
          .sequence,
      kAnswerPatience, &error)));
  bool no_window = error && error->error_code == XCB_WINDOW;
  free(error);
  if (!reply) return no_window;
  return xcb_get_property_value_length(reply.get()) != kMarkSize * 4 ||
         memcmp(xcb_get_property_value(reply.get()), mark, kMarkSize * 4) != 0;
}

// Empties each spare in `record` that still has the keysym the agent gave
// it (a keymap loaded since may have put another there).
void empty_spares_of(Server& x, const uint32_t* pairs, size_t count) {
  xcb_connection_t* c = x.connection.get();
  const xcb_setup_t* setup = xcb_get_setup(c);
  uint8_t first = setup->min_keycode, keys = setup->max_keycode - setup->min_keycode + 1;
  auto mapping = answer<xcb_get_keyboard_mapping_reply_t>(
      c, xcb_get_keyboard_mapping(c, first, keys), kAnswerPatience);
  if (!mapping || mapping->keysyms_per_keycode < 2) return;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
  uint8_t width = mapping->keysyms_per_keycode;
  for (size_t i = 0; i + 1 < count; i += 2) {
    uint32_t keycode = pairs[i], keysym = pairs[i + 1];
    if (keycode < first || keycode >= first + keys) continue;
    const xcb_keysym_t* on_key = keysyms + (keycode - first) * width;
    if (on_key[0] == keysym && on_key[1] == keysym) {
      xcb_keysym_t none[2] = {0, 0};
      xcb_change_keyboard_mapping(c, 1, static_cast<xcb_keycode_t>(keycode), 2, none);
    }
  }
}

// With the server grabbed, so that no agent changes the spares meanwhile:
// gives back what each agent gone left and deletes its record. The spares
// are then found empty.
void give_back_spares_of_agents_gone(Server& x) {
  if (x.stand_in_mark == XCB_ATOM_NONE) return;
  std::vector<std::pair<xcb_atom_t, xcb_window_t>> records = other_records(x);
  if (records.empty()) return;
  xcb_connection_t* c = x.connection.get();
  xcb_grab_server(c);
  for (auto [name, stand_in] : records) {
    auto record = answer<xcb_get_property_reply_t>(
        c, xcb_get_property(c, false, x.root, name, XCB_ATOM_CARDINAL, 0, kMarkSize + 2 * 256),
        kAnswerPatience);
    if (!record || record->format != 32) continue;
    auto* values = static_cast<const uint32_t*>(xcb_get_property_value(record.get()));
    size_t count = xcb_get_property_value_length(record.get()) / sizeof(uint32_t);
    if (count < kMarkSize || !agent_gone(x, stand_in, values)) continue;
    empty_spares_of(x, values + kMarkSize, count - kMarkSize);
    xcb_delete_property(c, x.root, name);
  }
  xcb_ungrab_server(c);
  xcb_flush(c);
}

}  // namespace x11
