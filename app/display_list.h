// `input-agent --displays`: the displays a command can name, one JSON object
// a line.
#pragma once

#include <cstdio>
#include <vector>

#include "platform/platform.h"

// Writes each display as {"id":..,"x":..,"y":..,"width":..,"height":..,
// "scale":..,"main":..} on a line of its own.
void write_displays(const std::vector<platform::Display>& displays, FILE* output);
