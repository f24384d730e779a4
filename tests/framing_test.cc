#include "app/framing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds `input` in chunks of `chunk` bytes and collects every line handed out,
// the last unterminated one included.
std::vector<std::string> split(std::string_view input, size_t chunk) {
  LineReader reader;
  std::vector<std::string> lines;
  while (!input.empty()) {
    std::string_view piece = input.substr(0, chunk);
    input.remove_prefix(piece.size());
    while (std::optional<std::string_view> line = next_line(reader, piece))
      lines.emplace_back(*line);
  }
  if (std::optional<std::string_view> line = last_line(reader)) lines.emplace_back(*line);
  return lines;
}

std::string repeat(std::string_view unit, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += unit;
  return out;
}

using Lines = std::vector<std::string>;

// Every case is checked whole, a byte at a time and in uneven chunks, since
// reads can split a line, a "\r\n" or a multi-byte character anywhere.
void expect_lines(std::string_view name, std::string_view input, const Lines& expected) {
  for (size_t chunk : {input.size() + 1, size_t{1}, size_t{7}, size_t{1000}}) {
    EXPECT_EQ(split(input, chunk), expected) << name << ", chunks of " << chunk;
  }
}

}  // namespace

TEST(Framing, LineEndings) {
  struct Case {
    const char* name;
    std::string input;
    Lines expected;
  } cases[] = {
      {"line feeds", "a\nbc\n", {"a", "bc"}},
      {"crlf removed whole", "a\r\nb\r\n", {"a", "b"}},
      {"lone cr kept inside", "a\rb\n", {"a\rb"}},
      {"cr cr lf keeps one", "a\r\r\n", {"a\r"}},
      {"last line without feed", "a\nb", {"a", "b"}},
      {"last line ending in cr keeps it", "a\r", {"a\r"}},
      {"empty lines", "\n\r\n", {"", ""}},
      {"nothing", "", {}},
      {"nul bytes kept", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
  };
  for (const Case& c : cases) expect_lines(c.name, c.input, c.expected);
}

TEST(Framing, LinesOfUpTo1000CharactersPass) {
  struct Case {
    const char* name;
    std::string unit;  // one user-perceived character
  } cases[] = {
      {"ascii", "x"},
      {"combining acute", "e\xCC\x81"},
      {"stacked combining marks", "a\xCC\x81\xCC\x82\xCC\x83\xCC\x84"},
      {"hangul syllable from jamo", "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8"},
      {"emoji zwj family",
       "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"},
      {"flag", "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"},
      {"emoji with skin tone", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"},
      {"invalid byte is one U+FFFD", "\xFF"},
      {"truncated sequence is one U+FFFD", "\xE2\x82"},
      {"U+FFFD takes a combining mark", "\xFF\xCC\x81"},
  };
  for (const Case& c : cases) {
    std::string fits = repeat(c.unit, kMaxLineCharacters);
    std::string over = repeat(c.unit, kMaxLineCharacters + 1);
    expect_lines(c.name, fits + "\n" + over + "\nnext\n", {fits, "next"});
  }
}

TEST(Framing, TrailingCrCountsOnlyWhenItStays) {
  std::string full = repeat("x", kMaxLineCharacters);
  expect_lines("crlf after 1000", full + "\r\n", {full});
  expect_lines("cr then eof after 1000", full + "\r", {});
  expect_lines("cr then eof after 999", full.substr(1) + "\r", {full.substr(1) + "\r"});
  std::string with_cr = full.substr(2) + "\ry";
  expect_lines("lone cr inside counts", with_cr + "\n" + "x" + with_cr + "\n", {with_cr});
}

TEST(Framing, RegionalIndicatorsPairUp) {
  // 2001 indicators are 1001 characters (1000 flags and a lone indicator).
  std::string indicator = "\xF0\x9F\x87\xAB";
  expect_lines("2000 indicators", repeat(indicator, 2000) + "\n", {repeat(indicator, 2000)});
  expect_lines("2001 indicators", repeat(indicator, 2001) + "\n", {});
}

TEST(Framing, LinesOverTheByteBoundAreDroppedWithoutHarmToTheNext) {
  // Few characters, many bytes: one base letter with endless combining marks.
  std::string heavy = "a";
  heavy += repeat("\xCC\x81", kMaxLineBytes / 2);
  ASSERT_GT(heavy.size(), kMaxLineBytes);
  expect_lines("combining flood", heavy + "\nnext\n", {"next"});
  std::string at_bound = "a";
  at_bound += repeat("\xCC\x81", (kMaxLineBytes - 1) / 2);
  expect_lines("just within", at_bound + "\n", {at_bound});
}

// The byte bound counts the line without its ending, however the "\r\n"
// arrives: in one read, or with the CR last in one read and the LF first in
// the next.
TEST(Framing, TheByteBoundLeavesOutTheLineEnding) {
  std::string at_bound = "b" + std::string("a") + repeat("\xCC\x81", (kMaxLineBytes - 2) / 2);
  ASSERT_EQ(at_bound.size(), kMaxLineBytes);
  std::string over = at_bound + "c";
  struct Case {
    const char* name;
    std::string input;
    Lines expected;
  } cases[] = {
      {"at the bound, lf", at_bound + "\nnext\n", {at_bound, "next"}},
      {"at the bound, crlf", at_bound + "\r\nnext\n", {at_bound, "next"}},
      {"at the bound, cr kept at the end of input", at_bound + "\r", {}},
      {"at the bound, cr kept inside", at_bound + "\rx\nnext\n", {"next"}},
      {"over the bound, lf", over + "\nnext\n", {"next"}},
      {"over the bound, crlf", over + "\r\nnext\n", {"next"}},
  };
  for (const Case& c : cases) {
    expect_lines(c.name, c.input, c.expected);
    EXPECT_EQ(split(c.input, kMaxLineBytes + 1), c.expected) << c.name << ", split after the CR";
  }
}

TEST(Framing, AnEndlessLineIsSkippedToItsLineFeed) {
  LineReader reader;
  std::string block(1 << 20, 'x');
  for (int i = 0; i < 64; ++i) {
    std::string_view input = block;
    EXPECT_EQ(next_line(reader, input), std::nullopt);
    EXPECT_LE(reader.size, kMaxLineBytes);
  }
  std::string_view tail = "still the same line\n{\"type\":\"release\"}\n";
  EXPECT_EQ(next_line(reader, tail), "{\"type\":\"release\"}");
}
