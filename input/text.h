#pragma once

#include <cstddef>

#include "input/command.h"

// A text command types at most this many characters (code points); a longer
// one types nothing. A line holds at most 1000 characters, so longer text
// goes in several commands anyway.
constexpr size_t kMaxTextCharacters = 1000;

// {"type":"text","text":<string>}: types the string's characters as text,
// whatever the layout and the modifiers held, which stay held; "\n" is
// Return and "\t" Tab, other control characters are skipped. A string from a
// line that was not valid UTF-8, or longer than kMaxTextCharacters, types
// nothing.
void handle_text(const Command& command);
