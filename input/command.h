// The members of a command object that the agent reads, gathered in one pass
// over the decoded object. Names are matched exactly; other members are
// ignored; when a name repeats, the last occurrence counts, as in
// JavaScript's JSON.parse.
#pragma once

#include <simdjson.h>

#include <optional>
#include <string_view>

using Member = std::optional<simdjson::dom::element>;

struct Command {
  Member type, code, down, x, y, button, delta, delta_x, text, display, movement_x, movement_y;
  // The line was not valid UTF-8 and was read with U+FFFD in place of what
  // was ill-formed.
  bool repaired = false;
};

Command read_command(simdjson::dom::object object);

// A member's value when it is of the wanted JSON kind; nothing when it is
// missing or of another kind.
std::optional<std::string_view> as_text(const Member& member);
std::optional<double> as_number(const Member& member);  // integer or not
std::optional<bool> as_bool(const Member& member);      // numbers never stand in
