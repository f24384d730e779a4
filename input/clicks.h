// Click counting, as macOS does for a real mouse: presses of the same button
// that follow each other within the double-click interval and close together
// count up (2 a double click, 3 a triple); applications there read the count
// from the event. Other systems work it out from event times themselves.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Presses closer together than this, in each direction, count as one place.
constexpr double kClickSlopPixels = 4;

// Counts a press of button `index` (MouseEvent.button) at `point`, now, and
// returns its click count.
int64_t count_press(int index, platform::Point point);

// The click count of button `index`'s last press, for its release and for
// drags while it is held; 1 when it has not been pressed since counting began.
int64_t clicks_of(int index);

// A move away from the last press ends its run of clicks.
void count_move(platform::Point point);

// Relative motion away from the last press ends its run of clicks too.
void count_motion(double dx, double dy);

// Starts counting afresh, as after letting go of everything.
void forget_clicks();
