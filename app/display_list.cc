#include "app/display_list.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

namespace {

// The id as a JSON string: quotes, backslashes (Windows names displays
// \\.\DISPLAY1) and control characters escaped, the rest as it is.
void write_string(std::string_view text, FILE* output) {
  fputc('"', output);
  for (char c : text) {
    if (c == '"' || c == '\\') {
      fputc('\\', output);
      fputc(c, output);
    } else if (static_cast<unsigned char>(c) < 0x20) {
      fprintf(output, "\\u%04x", static_cast<unsigned char>(c));
    } else {
      fputc(c, output);
    }
  }
  fputc('"', output);
}

// The fewest digits that read back as the same number: 1920, 1.5.
void write_number(double value, FILE* output) {
  char text[32];
  if (value == std::trunc(value) && std::fabs(value) < 1e15) {
    fprintf(output, "%.0f", value);
    return;
  }
  for (int digits = 1; digits <= 17; ++digits) {
    snprintf(text, sizeof text, "%.*g", digits, value);
    if (strtod(text, nullptr) == value) break;
  }
  fputs(text, output);
}

}  // namespace

void write_displays(const std::vector<platform::Display>& displays, FILE* output) {
  for (const platform::Display& display : displays) {
    fputs("{\"id\":", output);
    write_string(display.id, output);
    const std::pair<const char*, double> numbers[] = {
        {",\"x\":", display.bounds.x},         {",\"y\":", display.bounds.y},
        {",\"width\":", display.bounds.width}, {",\"height\":", display.bounds.height},
        {",\"scale\":", display.scale},
    };
    for (const auto& [name, value] : numbers) {
      fputs(name, output);
      write_number(value, output);
    }
    fputs(display.main ? ",\"main\":true}\n" : ",\"main\":false}\n", output);
  }
  fflush(output);
}
