// What every backend does alike with its list of displays.
#pragma once

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace platform {

// The main display first, then the others from left to right, then top to
// bottom, so a controller can show them in a stable order.
inline std::vector<Display> displays_in_order(std::vector<Display> list) {
  std::stable_sort(list.begin(), list.end(), [](const Display& a, const Display& b) {
    if (a.main != b.main) return a.main;
    if (a.bounds.x != b.bounds.x) return a.bounds.x < b.bounds.x;
    return a.bounds.y < b.bounds.y;
  });
  return list;
}

// The bounds of the display named `id` in a backend's list.
inline std::optional<Bounds> bounds_of(const std::vector<Display>& list, std::string_view id) {
  for (const Display& display : list) {
    if (display.id == id) return display.bounds;
  }
  return std::nullopt;
}

}  // namespace platform
