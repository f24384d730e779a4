#include "input/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string repaired(std::string_view text) {
  std::string out(3 * text.size(), '\0');
  out.resize(repair_utf8(text, out.data()));
  return out;
}

const std::string kFFFD = "\xEF\xBF\xBD";

}  // namespace

TEST(Utf8, RepairReplacesEachMaximalSubpartOnce) {
  struct Case {
    std::string input;
    std::string expected;
  } cases[] = {
      {"plain ascii", "plain ascii"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\xEF\xBF\xBD", kFFFD},  // a literal U+FFFD stays
      {"a\xFF"
       "b",
       "a" + kFFFD + "b"},          // stray byte
      {"\x80\x80", kFFFD + kFFFD},  // lone continuations
      {"\xE2\x82"
       "a",
       kFFFD + "a"},                                        // truncated: one for both bytes
      {"\xE2\x82", kFFFD},                                  // truncated by the end
      {"\xF0\x9F\x98", kFFFD},                              // truncated four-byte form
      {"\xC0\xAF", kFFFD + kFFFD},                          // overlong lead
      {"\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},              // overlong three-byte form
      {"\xED\xA0\x80", kFFFD + kFFFD + kFFFD},              // surrogate
      {"\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},  // above U+10FFFF
      {"\xF0\x90\x80"
       "a",
       kFFFD + "a"},  // three-byte maximal subpart
      {std::string("\0", 1), std::string("\0", 1)},
  };
  for (const Case& c : cases) EXPECT_EQ(repaired(c.input), c.expected) << c.input;
}

TEST(Utf8, DecodeWaitsForASequenceTheEndCutShort) {
  const std::string cases[] = {"\xC3", "\xE2\x82", "\xF0\x9F\x98"};
  for (const std::string& text : cases) {
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    char32_t code_point;
    EXPECT_EQ(decode_utf8(begin, begin + text.size(), &code_point), 0u) << text;
  }
}
