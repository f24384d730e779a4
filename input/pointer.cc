#include "input/pointer.h"

#include <cmath>
#include <cstdint>

#include "input/clicks.h"
#include "input/held.h"

namespace {

bool is_fraction(double value) {
  return std::isfinite(value) && value >= 0 && value <= 1;
}

// The display the command names, else the main one; its bounds are read
// afresh so a change of display layout is followed at once. Nothing when
// the command names a display that is not connected, or names none in text.
std::optional<platform::Bounds> display_of(const Command& command) {
  if (!command.display) return platform::main_display();
  std::optional<std::string_view> id = as_text(command.display);
  if (!id) return std::nullopt;
  return platform::display_named(*id);
}

// The command's x and y, when both are fractions.
std::optional<platform::Point> fractions(const Command& command) {
  std::optional<double> x = as_number(command.x);
  std::optional<double> y = as_number(command.y);
  if (!x || !y || !is_fraction(*x) || !is_fraction(*y)) return std::nullopt;
  return platform::Point{*x, *y};
}

// The command's position as a point on its display. Fractions 0 and 1
// address the first and last pixel.
std::optional<platform::Point> position(const Command& command) {
  std::optional<platform::Point> at = fractions(command);
  if (!at) return std::nullopt;
  std::optional<platform::Bounds> display = display_of(command);
  if (!display) return std::nullopt;
  return platform::Point{display->x + at->x * (display->width - 1),
                         display->y + at->y * (display->height - 1)};
}

// What a move is with the buttons held now: a plain move, or a drag.
struct Motion {
  uint32_t type;
  uint32_t button;
  int64_t clicks;
};

Motion motion() {
  uint32_t type = buttons[0]   ? platform::kLeftMouseDragged
                  : buttons[2] ? platform::kRightMouseDragged
                  : buttons[1] ? platform::kOtherMouseDragged
                               : platform::kMouseMoved;
  // Chosen independently of the type and in another order: with the left and
  // right buttons both held, the drag is a left drag naming the right button.
  uint32_t button = buttons[2]   ? platform::kButtonRight
                    : buttons[1] ? platform::kButtonCenter
                                 : platform::kButtonLeft;
  // A drag carries the click count of the press it continues (a double click
  // and drag selects by words on a Mac); a plain move none.
  int64_t clicks = buttons[0]   ? clicks_of(0)
                   : buttons[2] ? clicks_of(2)
                   : buttons[1] ? clicks_of(1)
                                : 0;
  return {type, button, clicks};
}

void move_to(platform::Point point) {
  Motion m = motion();
  count_move(point);
  platform::post_mouse(m.type, point, m.button, flags(), m.clicks);
}

// A movement member's pixels, 0 when it is missing; nothing when it is there
// but not a finite number within bounds.
std::optional<double> movement(const Member& member) {
  if (!member) return 0.0;
  std::optional<double> pixels = as_number(member);
  if (!pixels || !std::isfinite(*pixels) || std::fabs(*pixels) > 10000) return std::nullopt;
  return pixels;
}

// {"type":"move","movementX":..,"movementY":..}, as MouseEvent.movementX/Y.
void move_by(const Command& command) {
  std::optional<double> dx = movement(command.movement_x);
  std::optional<double> dy = movement(command.movement_y);
  if (!dx || !dy) return;
  Motion m = motion();
  count_motion(*dx, *dy);
  platform::post_motion(m.type, *dx, *dy, m.button, flags(), m.clicks);
}

std::optional<int> button_index(const Command& command) {
  std::optional<double> index = as_number(command.button);
  if (!index || std::trunc(*index) != *index || *index < 0 || *index > 2) return std::nullopt;
  return static_cast<int>(*index);
}

}  // namespace

void mouse(int index, bool down, platform::Point point) {
  const ButtonInfo& info = button_table[index];
  int64_t clicks = down ? count_press(index, point) : clicks_of(index);
  platform::post_mouse(down ? info.press_type : info.release_type, point, info.platform_button,
                       flags(), clicks);
  buttons[index] = down;
}

// With `x` or `y` it is absolute, as before relative motion existed.
void handle_move(const Command& command) {
  if (command.x || command.y) {
    if (std::optional<platform::Point> point = position(command)) move_to(*point);
  } else if (command.movement_x || command.movement_y) {
    move_by(command);
  }
}

// A button held when its display went away (unplugged mid-drag) still comes
// up at its release, where the pointer is, as at a release of everything.
void release_off_display(const Command& command, std::optional<int> index,
                         std::optional<bool> down) {
  if (!index || down != false || !buttons[*index] || !fractions(command)) return;
  std::optional<std::string_view> id = as_text(command.display);
  if (!id || platform::display_named(*id)) return;
  mouse(*index, false, platform::cursor().value_or(platform::Point{0, 0}));
}

void handle_button(const Command& command) {
  std::optional<int> index = button_index(command);
  std::optional<bool> down = as_bool(command.down);
  std::optional<platform::Point> point = position(command);
  if (!point) return release_off_display(command, index, down);
  if (index && down) {
    mouse(*index, *down, *point);
  } else {
    move_to(*point);
  }
}

// A wheel member's pixels, 0 when it is missing; nothing when it is there
// but not a finite number within bounds.
std::optional<double> wheel_pixels(const Member& member) {
  if (!member) return 0.0;
  std::optional<double> pixels = as_number(member);
  if (!pixels || !std::isfinite(*pixels) || std::fabs(*pixels) > 1200) return std::nullopt;
  return pixels;
}

void handle_wheel(const Command& command) {
  if (!command.delta && !command.delta_x) return;
  std::optional<double> down = wheel_pixels(command.delta);
  std::optional<double> right = wheel_pixels(command.delta_x);
  if (!down || !right) return;
  // The platform's wheel counts up and left; a page's deltas, down and right.
  platform::post_wheel(static_cast<int32_t>(-*down), static_cast<int32_t>(-*right));
}
