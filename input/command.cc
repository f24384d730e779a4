#include "input/command.h"

namespace {

// The slot for a member name. Every command passes through here, so names
// are told apart by length first rather than compared one by one.
Member* slot_for(Command& command, std::string_view name) {
  switch (name.size()) {
    case 1:
      return name[0] == 'x' ? &command.x : name[0] == 'y' ? &command.y : nullptr;
    case 4:
      return name == "type"   ? &command.type
             : name == "code" ? &command.code
             : name == "down" ? &command.down
             : name == "text" ? &command.text
                              : nullptr;
    case 5:
      return name == "delta" ? &command.delta : nullptr;
    case 6:
      return name == "button" ? &command.button : name == "deltaX" ? &command.delta_x : nullptr;
    case 7:
      return name == "display" ? &command.display : nullptr;
    case 9:
      return name == "movementX"   ? &command.movement_x
             : name == "movementY" ? &command.movement_y
                                   : nullptr;
    default:
      return nullptr;
  }
}

template <typename T>
std::optional<T> as(const Member& member) {
  T value;
  if (!member || member->get(value) != simdjson::SUCCESS) return std::nullopt;
  return value;
}

}  // namespace

Command read_command(simdjson::dom::object object) {
  Command command;
  for (simdjson::dom::key_value_pair field : object) {
    if (Member* slot = slot_for(command, field.key)) *slot = field.value;
  }
  return command;
}

std::optional<std::string_view> as_text(const Member& member) {
  return as<std::string_view>(member);
}

std::optional<double> as_number(const Member& member) {
  return as<double>(member);
}

std::optional<bool> as_bool(const Member& member) {
  return as<bool>(member);
}
