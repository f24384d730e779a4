// Relative motion for a system that takes whole pixels: the fractions of a
// pixel carry over to the next motion, per axis, so that four moves of half a
// pixel go two pixels.
#pragma once

#include <cmath>
#include <cstdint>

struct MotionCarry {
  double x = 0, y = 0;  // less than a pixel either way
};

// Adds `delta` to what `carry` holds and returns the whole pixels of it,
// toward zero, keeping the rest.
inline int32_t take_whole_pixels(double& carry, double delta) {
  carry += delta;
  double whole = std::trunc(carry);
  carry -= whole;
  return static_cast<int32_t>(whole);
}
