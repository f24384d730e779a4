// Decoding one input line and routing it to the handler of its `type`.
#pragma once

#include <string_view>

// Decodes `line` as JSON and, when it is an object with a string `type` the
// agent knows, hands it to that type's handler; anything else is dropped
// without a trace. At least kLinePadding readable bytes must follow the line.
void dispatch_line(std::string_view line);
