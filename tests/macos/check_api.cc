// Holds an implementation of the macOS API to the list in macos_api.h:
// compiled into the tests, against the recording implementation; and by
// `scripts/build-macos --check-api`, against the real SDK for both of its
// architectures. Either fails to compile where it differs from the list.
#include <ApplicationServices/ApplicationServices.h>

#include <cstddef>
#include <type_traits>

#define MACOS_TYPE(name, type) static_assert(std::is_same_v<name, type>, #name);
#define MACOS_ENUM(name, underlying)                                                              \
  static_assert(std::is_enum_v<name> && std::is_same_v<std::underlying_type_t<name>, underlying>, \
                #name);
#define MACOS_FIELD(record, field, type, offset)                                            \
  static_assert(                                                                            \
      std::is_same_v<decltype(record::field), type> && offsetof(record, field) == (offset), \
      #record "." #field);
#define MACOS_CONSTANT(type, name, value) \
  static_assert(name == (value) && sizeof(name) == sizeof(type), #name);
#define MACOS_VARIABLE(type, name) static_assert(std::is_same_v<decltype(name), const type>, #name);
#define MACOS_FUNCTION(result, name, parameters) \
  static_assert(std::is_same_v<decltype(&name), result(*) parameters>, #name);
#include "macos_api.h"
