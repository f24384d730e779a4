#include "input/utf8.h"

#include <cstring>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

size_t decode_utf8(const unsigned char* text, const unsigned char* end, char32_t* code_point) {
  unsigned char lead = text[0];
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  }
  // The second byte's range is narrower after some leads; that is what keeps
  // out overlong forms, surrogates and values above U+10FFFF.
  size_t length;
  unsigned char low = 0x80, high = 0xBF;
  char32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    *code_point = kReplacement;
    return 1;
  }
  for (size_t i = 1; i < length; ++i) {
    if (text + i == end) return 0;
    unsigned char next = text[i];
    if (next < low || next > high) {
      *code_point = kReplacement;
      return i;
    }
    value = (value << 6) | (next & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  *code_point = value;
  return length;
}

size_t repair_utf8(std::string_view text, char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = in + text.size();
  char* written = out;
  while (in < end) {
    char32_t code_point;
    size_t length = decode_utf8(in, end, &code_point);
    if (length == 0) {
      length = end - in;
      code_point = kReplacement;
    }
    // A U+FFFD that the input spelled out itself is well formed; any other is a
    // replaced sequence.
    bool replaced =
        code_point == kReplacement && !(length == 3 && memcmp(in, "\xEF\xBF\xBD", 3) == 0);
    if (replaced) {
      memcpy(written, "\xEF\xBF\xBD", 3);
      written += 3;
    } else {
      memcpy(written, in, length);
      written += length;
    }
    in += length;
  }
  return written - out;
}
