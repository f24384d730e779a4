#include "platform/absolute.h"

#include <gtest/gtest.h>

#include <cmath>

// Each value must land on its pixel when scaled back as display servers do
// (value × size / 65536, rounded down), at the edges too, and a point off
// the desktop must stay within the range.
TEST(AbsoluteValue, LandsOnItsPixelAndStaysInRange) {
  struct Case {
    const char* name;
    double position, origin, size;
    int32_t value;
  } cases[] = {
      {"first pixel", 0, 0, 1920, 0},
      {"last pixel", 1919, 0, 1920, 65502},
      {"middle", 960, 0, 1920, 32768},
      {"a desktop with a left edge at -640", 0, -640, 2560, 16384},
      {"the whole range as the desktop", 65535, 0, 65536, 65535},
      {"a fraction of a pixel rounds to the nearest", 959.5, 0, 1920, 32768},
      {"left of the desktop", -5, 0, 1920, 0},
      {"right of the desktop", 1925, 0, 1920, 65535},
  };
  for (const Case& c : cases) {
    int32_t value = absolute_value(c.position, c.origin, c.size);
    EXPECT_EQ(value, c.value) << c.name;
    if (c.position >= c.origin && c.position < c.origin + c.size) {
      EXPECT_EQ(static_cast<int64_t>(value) * static_cast<int64_t>(c.size) / kAbsoluteSize,
                static_cast<int64_t>(std::round(c.position - c.origin)))
          << c.name << ": scaled back";
    }
  }
}
