// The Wayland backend's virtual pointer: absolute moves over the outputs'
// box, buttons, relative motion and the wheel.
#include <linux/input-event-codes.h>
#include <wayland-client.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "keymap/evdev.h"
#include "platform/linux/wayland.h"

namespace wayland {

// A wheel step is reported with the 15 degrees a wheel notch turns.
constexpr double kDegreesPerStep = 15;

// Absolute motion spans the box around all outputs, in steps of 1/1024
// pixel. The compositor divides by the extent and multiplies by the box's
// size again, which can end a hair before a pixel's corner: on the pixel
// before it, even on another output. So the point goes one step past the
// corner; applications still get the corner, the step being below
// wl_fixed's 1/256.
constexpr uint32_t kStepsPerPixel = 1024;

void move_to(Compositor& c, Point point) {
  if (c.layout.width <= 0 || c.layout.height <= 0) return;
  auto step = [](double value, double extent) {
    long pixel = std::clamp(std::lround(value), 0L, std::lround(extent) - 1);
    return static_cast<uint32_t>(pixel) * kStepsPerPixel + 1;
  };
  zwlr_virtual_pointer_v1_motion_absolute(c.pointer, now_ms(),
                                          step(point.x - c.layout.x, c.layout.width),
                                          step(point.y - c.layout.y, c.layout.height),
                                          static_cast<uint32_t>(c.layout.width) * kStepsPerPixel,
                                          static_cast<uint32_t>(c.layout.height) * kStepsPerPixel);
}

// Releasing everything puts the buttons up at cursor(), which after
// relative motion is an estimate, wrong where a lock held the pointer; there
// a move would reach the locked client as motion of its own. A release at
// that very point goes where the pointer is, without a move.
bool release_in_place(const Compositor& c, uint32_t type, Point point) {
  return c.point_estimated && platform::is_release(type) && point.x == c.last_point->x &&
         point.y == c.last_point->y;
}

void post_mouse(uint32_t type, Point point, uint32_t button, uint64_t, int64_t) {
  Compositor& c = the_compositor;
  end_text(c);
  if (!release_in_place(c, type, point)) {
    move_to(c, point);
    c.last_point = point;
    c.point_estimated = false;
  }
  bool press = platform::is_press(type), release = platform::is_release(type);
  if (press || release) {
    zwlr_virtual_pointer_v1_button(
        c.pointer, now_ms(), evdev_button(button),
        press ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  }
  zwlr_virtual_pointer_v1_frame(c.pointer);
  send_all(c);
}

// Deltas go as wl_fixed, in 1/256 pixel; the rest carries over to the next,
// per axis.
wl_fixed_t take_fixed(double& carry, double delta) {
  return static_cast<wl_fixed_t>(take_256ths(carry, delta));
}

// Where motion by `dx`, `dy` takes the pointer from `from`: the compositor
// keeps it on the outputs, at the point of theirs closest to where it would
// have gone.
Point moved_by(const Compositor& c, Point from, double dx, double dy) {
  Point to{from.x + dx, from.y + dy}, closest = to;
  double nearest = INFINITY;
  for (const platform::Display& display : c.displays) {
    const Bounds& b = display.bounds;
    Point on{std::clamp(to.x, b.x, b.x + b.width - 1), std::clamp(to.y, b.y, b.y + b.height - 1)};
    double distance = std::hypot(on.x - to.x, on.y - to.y);
    if (distance < nearest) {
      nearest = distance;
      closest = on;
    }
  }
  return closest;
}

// Motion of the virtual pointer, as a mouse's: wlroots passes the deltas on
// as both the accelerated and the unaccelerated ones (sway accelerates only
// libinput's devices), as they are to a client that has locked the pointer;
// elsewhere the compositor moves the pointer by them, keeping it on the
// outputs. A drag's button is held already, and the modifiers are the
// keyboard's, as for absolute moves.
void post_motion(uint32_t, double dx, double dy, uint32_t, uint64_t, int64_t) {
  Compositor& c = the_compositor;
  end_text(c);
  wl_fixed_t x = take_fixed(c.motion.x, dx), y = take_fixed(c.motion.y, dy);
  if (x == 0 && y == 0) return;
  zwlr_virtual_pointer_v1_motion(c.pointer, now_ms(), x, y);
  zwlr_virtual_pointer_v1_frame(c.pointer);
  send_all(c);
  if (!c.last_point) return;
  c.last_point = moved_by(c, *c.last_point, wl_fixed_to_double(x), wl_fixed_to_double(y));
  c.point_estimated = true;
}

// Positive pixels scroll up and left, which Wayland counts negative; both
// axes go in one frame.
void post_wheel(int32_t vertical, int32_t horizontal) {
  Compositor& c = the_compositor;
  end_text(c);
  auto down = static_cast<int32_t>(-take_wheel_steps(c.wheel, vertical));
  auto right = static_cast<int32_t>(-take_wheel_steps(c.wheel_sideways, horizontal));
  if (down == 0 && right == 0) return;
  zwlr_virtual_pointer_v1_axis_source(c.pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
  for (auto [axis, steps] : {std::pair{WL_POINTER_AXIS_VERTICAL_SCROLL, down},
                             std::pair{WL_POINTER_AXIS_HORIZONTAL_SCROLL, right}}) {
    if (steps == 0) continue;
    zwlr_virtual_pointer_v1_axis_discrete(c.pointer, now_ms(), axis,
                                          wl_fixed_from_double(steps * kDegreesPerStep), steps);
  }
  zwlr_virtual_pointer_v1_frame(c.pointer);
  send_all(c);
}

}  // namespace wayland
