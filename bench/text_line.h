// The characters of a text command as bench/make_commands writes them (no
// escapes): the code points of the UTF-8 between `"text":"` and the line's
// last quote. The floor programs read them this way instead of decoding JSON.
#pragma once

#include <string>

inline std::u32string text_of(const std::string& line) {
  std::u32string characters;
  size_t at = line.find("\"text\":\"") + 8, end = line.rfind('"');
  while (at < end) {
    auto byte = static_cast<unsigned char>(line[at]);
    int length = byte < 0x80 ? 1 : byte < 0xe0 ? 2 : byte < 0xf0 ? 3 : 4;
    char32_t value = length == 1 ? byte : byte & (0x7f >> length);
    for (int i = 1; i < length; ++i) value = value << 6 | (line[at + i] & 0x3f);
    characters += value;
    at += length;
  }
  return characters;
}
