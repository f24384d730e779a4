// Reading the members of a decoded command object. Each accessor answers
// nothing when the member is missing or of another JSON kind; when a name
// repeats, the last occurrence counts, as in JavaScript's JSON.parse.
#pragma once

#include <simdjson.h>

#include <optional>
#include <string_view>

using Command = simdjson::dom::object;

std::optional<std::string_view> text_member(Command command, std::string_view name);

// Any JSON number: integer or not.
std::optional<double> number_member(Command command, std::string_view name);

// Only true or false; numbers do not stand in for booleans.
std::optional<bool> bool_member(Command command, std::string_view name);
