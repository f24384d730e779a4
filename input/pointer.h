#pragma once

#include "input/command.h"
#include "platform/platform.h"

// Presses or releases one pointer button (MouseEvent.button index 0 to 2) at
// `point`, then records the change in `buttons`.
void mouse(int index, bool down, platform::Point point);

// {"type":"move","x":<0..1>,"y":<0..1>}: a move, or a drag while a button is
// held. Move and button commands may name a display ("display":"HDMI-1"),
// whose fractions x and y are then of that display rather than the main one.
// {"type":"move","movementX":<pixels>,"movementY":<pixels>}, without x and
// y, is relative motion, each value -10000..10000 and either may be missing
// (0), not both.
void handle_move(const Command& command);

// {"type":"button","x":..,"y":..,"button":<0|1|2>,"down":<bool>}. Without a
// usable `button` or `down` it is a move to the position.
void handle_button(const Command& command);

// {"type":"wheel","delta":<pixels>,"deltaX":<pixels>}, each -1200..1200 and
// either may be missing, not both: positive scrolls down and right, as
// WheelEvent.deltaY and deltaX do.
void handle_wheel(const Command& command);
