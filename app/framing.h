// Splitting the input stream into lines, and dropping lines too long to be
// commands while they arrive, so no input can make the agent hold more than
// one bounded line in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

// A line may hold this many user-perceived characters (extended grapheme
// clusters); a longer one is dropped.
constexpr size_t kMaxLineCharacters = 1000;

// A line may hold this many bytes, its line ending aside; a longer one is
// dropped however few characters it has. Far above any real command.
constexpr size_t kMaxLineBytes = 64 * 1024;

// Readable bytes kept after every line handed out, for the JSON decoder.
constexpr size_t kLinePadding = 64;

struct LineReader {
  // One byte more than a line may hold: a CR at the bound may turn out to be
  // half of its "\r\n".
  std::unique_ptr<char[]> line{new char[kMaxLineBytes + 1 + kLinePadding]()};
  size_t size = 0;
  bool complete = false;    // `line` was handed out; start afresh on the next call
  bool discarding = false;  // the line is over a limit; skip to its line feed
  // Character count of line[0, scanned), kept up as bytes arrive; only lines of
  // more than kMaxLineCharacters bytes can be over the limit, so shorter ones
  // are never scanned.
  size_t scanned = 0;
  size_t characters = 0;
  int32_t last_code_point = -1;
  int32_t break_state = 0;
};

// Takes bytes from the front of `input` until a line is complete and returns
// it without its "\n" or "\r\n"; the view lasts until the next call and until
// `input`'s buffer changes. It is followed by kLinePadding readable bytes when
// `input` is. Returns nothing when `input` is used up first; the partial line
// is kept for the next call. Lines over the limits are dropped here and never
// returned.
std::optional<std::string_view> next_line(LineReader& reader, std::string_view& input);

// At end of input: the last line, if it had no line feed and is within limits.
std::optional<std::string_view> last_line(LineReader& reader);
