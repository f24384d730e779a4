// Arbitrary bytes through the command loop on the stand-in platform, framed
// as the agent frames its input. After each input the loop has reached end of
// input, and:
//  - every event the stand-in created was released;
//  - the agent holds no key and no button;
//  - every posted event is one the protocol allows;
//  - the events do not depend on how the bytes were split into reads.
// Crashes, leaks and undefined behaviour are the sanitizers' to report.
#include <bitset>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "app/dispatch.h"
#include "app/framing.h"
#include "input/held.h"
#include "input/release.h"
#include "keymap/keys.h"
#include "platform/standin.h"

namespace {

void require(bool condition) {
  if (!condition) abort();
}

bool allowed(const standin::Event& event, const platform::Bounds& display) {
  static const std::bitset<kKeyCodeLimit> table_codes = [] {
    std::bitset<kKeyCodeLimit> codes;
    for (const KeyName& key : keys) codes[key.code] = true;
    return codes;
  }();
  constexpr uint64_t kModifiers = platform::kFlagShift | platform::kFlagControl |
                                  platform::kFlagAlternate | platform::kFlagCommand;
  switch (event.kind) {
    case standin::Event::kKey:
      return event.code < kKeyCodeLimit && table_codes[event.code] && !(event.mask & ~kModifiers);
    case standin::Event::kMouse: {
      bool known_type =
          (event.type >= 1 && event.type <= 7) || (event.type >= 25 && event.type <= 27);
      bool on_display =
          event.point.x >= display.x && event.point.x <= display.x + display.width - 1 &&
          event.point.y >= display.y && event.point.y <= display.y + display.height - 1;
      return known_type && event.button <= 2 && !(event.mask & ~kModifiers) && on_display;
    }
    case standin::Event::kMotion: {
      bool known_type = event.type == 5 || event.type == 6 || event.type == 7 || event.type == 27;
      return known_type && event.button <= 2 && !(event.mask & ~kModifiers) &&
             std::abs(event.point.x) <= 10000 && std::abs(event.point.y) <= 10000;
    }
    case standin::Event::kWheel:
      return std::abs(event.wheel) <= 1200 && std::abs(event.wheel_sideways) <= 1200;
    case standin::Event::kCharacter: {
      char32_t c = event.character;
      bool control = c < 0x20 || c == 0x7f;
      bool surrogate = c >= 0xd800 && c <= 0xdfff;
      return (!control || c == U'\n' || c == U'\t') && !surrogate && c <= 0x10ffff;
    }
  }
  return false;
}

bool same(const standin::Event& a, const standin::Event& b) {
  return a.kind == b.kind && a.code == b.code && a.down == b.down && a.type == b.type &&
         a.point.x == b.point.x && a.point.y == b.point.y && a.button == b.button &&
         a.mask == b.mask && a.clicks == b.clicks && a.wheel == b.wheel &&
         a.wheel_sideways == b.wheel_sideways && a.character == b.character;
}

// Runs the loop over `data` read `chunk` bytes at a time; returns the events.
std::vector<standin::Event> run(const uint8_t* data, size_t size, size_t chunk) {
  standin::Config config;
  config.record = true;
  // Click counts then follow from the input alone, not from how long it took.
  config.double_click = std::chrono::hours(24);
  standin::configure(config);
  LineReader reader;
  std::vector<char> buffer(chunk + kLinePadding);
  for (size_t offset = 0; offset < size; offset += chunk) {
    size_t count = std::min(chunk, size - offset);
    std::copy(data + offset, data + offset + count, buffer.begin());
    std::string_view input(buffer.data(), count);
    while (std::optional<std::string_view> line = next_line(reader, input)) dispatch_line(*line);
  }
  if (std::optional<std::string_view> line = last_line(reader)) dispatch_line(*line);
  release();

  standin::Counts counts = standin::counts();
  require(counts.created == counts.released);
  require(pressed.none() && buttons.none());
  for (const standin::Event& event : standin::events()) require(allowed(event, config.display));
  return standin::events();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<standin::Event> whole = run(data, size, std::max<size_t>(size, 1));
  // Reads can end anywhere: inside a line, a "\r\n" or a UTF-8 sequence.
  size_t chunk = 1 + (size ? data[0] % 13 : 0);
  std::vector<standin::Event> split = run(data, size, chunk);
  require(whole.size() == split.size());
  for (size_t i = 0; i < whole.size(); ++i) require(same(whole[i], split[i]));
  return 0;
}
