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

// Relative motion for a system whose clients get it in 1/256 pixel
// (Wayland's wl_fixed, to which compositors round libei's deltas too): a
// finer delta would lose its rest at every motion (ten of 0.1 would come to
// 260/256 pixel), so the rest carries over in `carry`, in pixels, and any
// number of motions comes within 1/512 pixel of their sum. Returns the whole
// 1/256 pixels of `delta` and what `carry` held, rounded to the nearest.
inline double take_256ths(double& carry, double delta) {
  carry += delta;
  double units = std::round(carry * 256);
  carry -= units / 256;
  return units;
}
