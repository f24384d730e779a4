// UTF-8 decoding with replacement: an ill-formed sequence becomes one U+FFFD
// for each maximal subpart, as Unicode recommends and as browsers decode.
#pragma once

#include <cstddef>
#include <string_view>

// Decodes the code point at the start of [text, end), which is not empty, into
// `code_point`. Returns the bytes it spans, or 0 when those bytes are a
// well-formed start that the end cut short (more input might complete it).
size_t decode_utf8(const unsigned char* text, const unsigned char* end, char32_t* code_point);

// Writes `text` to `out` with every ill-formed sequence, including one cut
// short by the end, replaced by U+FFFD. `out` needs room for 3 bytes per input
// byte. Returns the bytes written.
size_t repair_utf8(std::string_view text, char* out);
