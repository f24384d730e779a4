#include "input/command.h"

namespace {

std::optional<simdjson::dom::element> member(Command command, std::string_view name) {
  std::optional<simdjson::dom::element> last;
  for (simdjson::dom::key_value_pair field : command) {
    if (field.key == name) last = field.value;
  }
  return last;
}

}  // namespace

std::optional<std::string_view> text_member(Command command, std::string_view name) {
  std::optional<simdjson::dom::element> value = member(command, name);
  std::string_view text;
  if (!value || value->get(text) != simdjson::SUCCESS) return std::nullopt;
  return text;
}

std::optional<double> number_member(Command command, std::string_view name) {
  std::optional<simdjson::dom::element> value = member(command, name);
  double number;
  if (!value || value->get(number) != simdjson::SUCCESS) return std::nullopt;
  return number;
}

std::optional<bool> bool_member(Command command, std::string_view name) {
  std::optional<simdjson::dom::element> value = member(command, name);
  bool boolean;
  if (!value || value->get(boolean) != simdjson::SUCCESS) return std::nullopt;
  return boolean;
}
