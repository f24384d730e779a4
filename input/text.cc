#include "input/text.h"

#include "input/utf8.h"
#include "platform/platform.h"

namespace {

// Control characters (C0, DEL and C1) are not text, Return and Tab aside.
bool is_typed(char32_t character) {
  if (character == U'\n' || character == U'\t') return true;
  return character >= 0x20 && !(character >= 0x7f && character <= 0x9f);
}

// Calls `each` for every character of `text`, which the decoder has checked
// is well-formed UTF-8.
template <typename Each>
void for_each_character(std::string_view text, Each each) {
  auto* at = reinterpret_cast<const unsigned char*>(text.data());
  auto* end = at + text.size();
  char32_t character;
  while (at < end) {
    size_t length = decode_utf8(at, end, &character);
    if (length == 0) return;
    each(character);
    at += length;
  }
}

}  // namespace

void handle_text(const Command& command) {
  std::optional<std::string_view> text = as_text(command.text);
  if (!text || command.repaired) return;
  static char32_t typed[kMaxTextCharacters];
  size_t count = 0, decoded = 0;
  for_each_character(*text, [&](char32_t character) {
    if (++decoded <= kMaxTextCharacters && is_typed(character)) typed[count++] = character;
  });
  if (decoded > kMaxTextCharacters || count == 0) return;
  platform::post_text(typed, count);
}
