// Placing a point on the desktop with an absolute device whose range is
// 0..kAbsoluteSize-1 on each axis, as display servers (libinput) and Windows
// scale such a range onto the screen: value × size / kAbsoluteSize, rounded
// down. The naive value × (kAbsoluteSize - 1) / size lands a pixel short.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

constexpr int kAbsoluteSize = 65536;

// The first value of the range that lands on the pixel nearest `position`
// (whole pixels, as on X11), on an axis of the desktop starting at `origin`
// and `size` pixels long. Positions beyond the desktop are clamped to its
// edge, since a kernel or system passes values beyond the declared range on
// unchanged.
inline int32_t absolute_value(double position, double origin, double size) {
  double pixel = std::round(position - origin);
  double value = std::floor((pixel * kAbsoluteSize + size - 1) / size);
  return static_cast<int32_t>(std::clamp(value, 0.0, kAbsoluteSize - 1.0));
}
