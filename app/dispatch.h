// Decoding one input line and routing it to the handler of its `type`.
#pragma once

#include <string_view>

#include "input/command.h"

// Decodes `line` into `command`; false when it is not JSON text whose top
// level is an object. The command's values last until the next call.
bool decode_command(std::string_view line, Command& command);

// Decodes `line` as JSON and, when it is an object with a string `type` the
// agent knows, hands it to that type's handler; anything else is dropped
// without a trace. At least kLinePadding readable bytes must follow the line.
void dispatch_line(std::string_view line);
