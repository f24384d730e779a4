#include "app/dispatch.h"

#include <simdjson.h>

#include <memory>

#include "app/framing.h"
#include "input/command.h"
#include "input/keyboard.h"
#include "input/pointer.h"
#include "input/release.h"
#include "input/text.h"
#include "input/utf8.h"

static_assert(kLinePadding >= simdjson::SIMDJSON_PADDING);

namespace {

struct Route {
  std::string_view type;
  void (*handle)(const Command&);
};

constexpr Route kRoutes[] = {
    {"release", [](const Command&) { release(); }},
    {"key", handle_key},
    {"move", handle_move},
    {"button", handle_button},
    {"wheel", handle_wheel},
    {"text", handle_text},
};

// Lines of ordinary commands fit in this much decoder capacity from the start;
// a longer line grows it once and it stays grown.
constexpr size_t kInitialCapacity = 4096;

simdjson::dom::parser& parser() {
  static simdjson::dom::parser parser = [] {
    simdjson::dom::parser made;
    // Should this fail, parsing allocates on demand instead.
    if (made.allocate(kInitialCapacity) != simdjson::SUCCESS) return simdjson::dom::parser();
    return made;
  }();
  return parser;
}

// The line's text as the agent reads it: ill-formed UTF-8 replaced by U+FFFD,
// which can turn a line the decoder refused into valid JSON.
std::string_view repaired(std::string_view line) {
  static std::unique_ptr<char[]> buffer(new char[3 * kMaxLineBytes + kLinePadding]());
  return {buffer.get(), repair_utf8(line, buffer.get())};
}

}  // namespace

bool decode_command(std::string_view line, Command& command) {
  simdjson::dom::element root;
  simdjson::error_code error = parser().parse(line.data(), line.size(), false).get(root);
  bool was_repaired = false;
  if (error && !simdjson::validate_utf8(line.data(), line.size())) {
    std::string_view text = repaired(line);
    error = parser().parse(text.data(), text.size(), false).get(root);
    was_repaired = true;
  }
  simdjson::dom::object object;
  if (error || root.get(object) != simdjson::SUCCESS) return false;
  command = read_command(object);
  command.repaired = was_repaired;
  return true;
}

void dispatch_line(std::string_view line) {
  Command command;
  if (!decode_command(line, command)) return;
  std::optional<std::string_view> type = as_text(command.type);
  if (!type) return;
  for (const Route& route : kRoutes) {
    if (route.type == *type) return route.handle(command);
  }
}
