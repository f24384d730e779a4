#include "input/clicks.h"

#include <array>
#include <chrono>
#include <cmath>

namespace {

using Clock = std::chrono::steady_clock;

struct LastPress {
  int index = -1;  // none
  platform::Point point{0, 0};
  Clock::time_point at;
  platform::Point moved{0, 0};  // by relative motion since
};

LastPress last_press;
// A button not pressed since counting began counts as clicked once, as its
// release would be on a real mouse.
constexpr std::array<int64_t, 3> kFirstCounts = {1, 1, 1};
std::array<int64_t, 3> counts = kFirstCounts;

bool close_to(platform::Point a, platform::Point b) {
  return std::fabs(a.x - b.x) <= kClickSlopPixels && std::fabs(a.y - b.y) <= kClickSlopPixels;
}

}  // namespace

int64_t count_press(int index, platform::Point point) {
  Clock::time_point now = Clock::now();
  bool again = last_press.index == index && close_to(point, last_press.point) &&
               now - last_press.at <= platform::double_click_interval();
  counts[index] = again ? counts[index] + 1 : 1;
  last_press = {index, point, now};
  return counts[index];
}

int64_t clicks_of(int index) {
  return counts[index];
}

void count_move(platform::Point point) {
  if (last_press.index >= 0 && !close_to(point, last_press.point)) last_press.index = -1;
}

void count_motion(double dx, double dy) {
  last_press.moved.x += dx;
  last_press.moved.y += dy;
  if (last_press.index >= 0 && !close_to(last_press.moved, {0, 0})) last_press.index = -1;
}

void forget_clicks() {
  last_press = {};
  counts = kFirstCounts;
}
