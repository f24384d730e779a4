#include "app/framing.h"

#include <utf8proc.h>

#include <cstring>

#include "input/utf8.h"

namespace {

void start_line(LineReader& reader) {
  reader.size = 0;
  reader.complete = false;
  reader.discarding = false;
  reader.scanned = 0;
  reader.characters = 0;
  reader.last_code_point = -1;
  reader.break_state = 0;
}

// Counts the characters of the bytes not yet scanned. Until the line has
// ended, a trailing CR may yet turn out to be part of "\r\n", and a trailing
// multi-byte sequence may yet be completed, so both wait for more input.
void count_characters(LineReader& reader, bool ended) {
  const auto* begin = reinterpret_cast<const unsigned char*>(reader.line.get());
  const unsigned char* text = begin + reader.scanned;
  const unsigned char* end = begin + reader.size;
  if (!ended && end > text && end[-1] == '\r') --end;
  while (text < end) {
    char32_t code_point;
    size_t length = decode_utf8(text, end, &code_point);
    if (length == 0) {
      if (!ended) break;
      length = end - text;
      code_point = 0xFFFD;
    }
    int32_t current = static_cast<int32_t>(code_point);
    if (reader.last_code_point < 0 ||
        utf8proc_grapheme_break_stateful(reader.last_code_point, current, &reader.break_state)) {
      ++reader.characters;
    }
    reader.last_code_point = current;
    text += length;
  }
  reader.scanned = text - begin;
}

// Over the byte bound unless all that is over is one CR, which the line's
// "\r\n" may yet remove.
bool over_byte_bound(const LineReader& reader, const char* bytes, size_t size) {
  if (size == 0 || reader.size + size <= kMaxLineBytes) return false;
  return reader.size + size > kMaxLineBytes + 1 || bytes[size - 1] != '\r';
}

void append(LineReader& reader, const char* bytes, size_t size) {
  if (over_byte_bound(reader, bytes, size)) {
    reader.discarding = true;
    return;
  }
  memcpy(reader.line.get() + reader.size, bytes, size);
  reader.size += size;
  if (reader.size <= kMaxLineCharacters) return;
  count_characters(reader, false);
  if (reader.characters > kMaxLineCharacters) reader.discarding = true;
}

// Finishes the line; false when it is to be dropped.
bool end_line(LineReader& reader, bool line_feed) {
  if (reader.discarding) return false;
  if (line_feed && reader.size > 0 && reader.line[reader.size - 1] == '\r') --reader.size;
  if (reader.size > kMaxLineBytes) return false;
  if (reader.size > kMaxLineCharacters) count_characters(reader, true);
  reader.complete = true;
  return reader.characters <= kMaxLineCharacters;
}

}  // namespace

std::optional<std::string_view> next_line(LineReader& reader, std::string_view& input) {
  if (reader.complete) start_line(reader);
  while (!input.empty()) {
    const char* feed = static_cast<const char*>(memchr(input.data(), '\n', input.size()));
    size_t taken = feed ? feed - input.data() : input.size();
    // A whole line short enough to need no counting is handed out where it
    // lies, without copying.
    if (feed && reader.size == 0 && !reader.discarding && taken <= kMaxLineCharacters) {
      std::string_view line = input.substr(0, taken);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      input.remove_prefix(taken + 1);
      reader.complete = true;
      return line;
    }
    if (!reader.discarding) append(reader, input.data(), taken);
    input.remove_prefix(feed ? taken + 1 : taken);
    if (!feed) break;
    if (end_line(reader, true)) return std::string_view(reader.line.get(), reader.size);
    start_line(reader);
  }
  return std::nullopt;
}

std::optional<std::string_view> last_line(LineReader& reader) {
  if (reader.complete) start_line(reader);
  bool pending = reader.size > 0 && !reader.discarding;
  if (pending && end_line(reader, false)) return std::string_view(reader.line.get(), reader.size);
  start_line(reader);
  return std::nullopt;
}
