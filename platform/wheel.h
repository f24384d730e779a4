// Turning wheel deltas in pixels into the steps (notches, clicks) a system
// counts: one step stands for kPixelsPerWheelStep pixels, what browsers
// report for one wheel notch on most desktops, and what is left over carries
// to the next delta in the same direction, so that many small deltas (a
// trackpad's) still scroll. A change of direction drops it.
#pragma once

#include <cstdint>

constexpr int kPixelsPerWheelStep = 100;

struct WheelCarry {
  int64_t left_over = 0;  // in the units of `amount` below, in its direction
};

// Adds `amount` (pixels, or a multiple of them: `per_step` units make a
// step) and returns the whole steps it completes, keeping the rest.
inline int64_t take_wheel_steps(WheelCarry& carry, int64_t amount,
                                int64_t per_step = kPixelsPerWheelStep) {
  if ((amount > 0 && carry.left_over < 0) || (amount < 0 && carry.left_over > 0)) {
    carry.left_over = 0;
  }
  carry.left_over += amount;
  int64_t steps = carry.left_over / per_step;
  carry.left_over -= steps * per_step;
  return steps;
}
