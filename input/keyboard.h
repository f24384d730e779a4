#pragma once

#include <cstdint>

#include "input/command.h"

// Presses or releases one key: records it in `pressed`, then posts its
// keyboard event carrying the modifiers held after the change.
void key(uint16_t code, bool down);

// {"type":"key","code":<KeyboardEvent.code>,"down":<bool>}
void handle_key(const Command& command);
