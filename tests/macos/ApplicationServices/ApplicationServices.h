// A recording implementation of the CoreGraphics, CoreFoundation and
// ApplicationServices calls the macOS backend makes, for running that
// backend on Linux in the tests: this header stands in for the SDK's
// umbrella header, with the SDK's types and values (macos_api.h, checked
// against the SDK by check_api.cc). tests/macos/recording.h tells what it
// recorded and sets its answers.
#pragma once

#include <cstddef>
#include <cstdint>

struct __CGEvent;
struct __CGEventSource;
struct __CFString;
struct __CFNumber;
struct __CFUUID;
struct __CFAllocator;
struct CGDisplayMode;

#define MACOS_TYPE(name, type) typedef type name;
#define MACOS_ENUM(name, underlying) enum name : underlying {};
#define MACOS_FIELD(record, field, type, offset)
#define MACOS_CONSTANT(type, name, value) constexpr type name = static_cast<type>(value);
#define MACOS_VARIABLE(type, name) extern const type name;
#define MACOS_FUNCTION(result, name, parameters)
#include "../macos_api.h"
#undef MACOS_TYPE
#undef MACOS_ENUM
#undef MACOS_CONSTANT
#undef MACOS_VARIABLE

struct CGPoint {
  CGFloat x;
  CGFloat y;
};

struct CGSize {
  CGFloat width;
  CGFloat height;
};

struct CGRect {
  CGPoint origin;
  CGSize size;
};

#undef MACOS_FUNCTION
#define MACOS_TYPE(name, type)
#define MACOS_ENUM(name, underlying)
#define MACOS_CONSTANT(type, name, value)
#define MACOS_VARIABLE(type, name)
#define MACOS_FUNCTION(result, name, parameters) result name parameters;
#include "../macos_api.h"
#undef MACOS_TYPE
#undef MACOS_ENUM
#undef MACOS_FIELD
#undef MACOS_CONSTANT
#undef MACOS_VARIABLE
#undef MACOS_FUNCTION

// The SDK makes a constant string of a literal.
CFStringRef recorded_constant_string(const char* text);
#define CFSTR(text) recorded_constant_string("" text "")
