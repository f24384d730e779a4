#include "keymap/keys.h"

#include <gtest/gtest.h>

#include <set>

TEST(Keys, NamesGiveTheCodesOfTheirPhysicalKeys) {
  const KeyName cases[] = {
      {"KeyA", 0},      {"KeyB", 11},         {"Digit5", 23},    {"Digit6", 22},
      {"Enter", 36},    {"Backspace", 51},    {"Delete", 117},   {"Insert", 114},
      {"MetaLeft", 55}, {"MetaRight", 54},    {"AltLeft", 58},   {"AltRight", 61},
      {"CapsLock", 57}, {"ControlRight", 62}, {"F1", 122},       {"F12", 111},
      {"Escape", 53},   {"ArrowUp", 126},     {"Backquote", 50}, {"Quote", 39},
  };
  for (const KeyName& expected : cases) {
    EXPECT_EQ(lookup_key(expected.name), expected.code) << expected.name;
  }
}

TEST(Keys, NearMissesAreNotNames) {
  const std::string_view cases[] = {
      "keya",
      "KEYA",
      "A",
      "a",
      "Numpad1",
      "F13",
      "",
      "Key",
      "KeyA ",
      " KeyA",
      "\xE2\x84\xAA"
      "eyA",  // KELVIN SIGN in place of K
      std::string_view("KeyA\0", 5),
      "Shift",
      "Meta",
      "OSLeft",
      "IntlBackslash",
  };
  for (std::string_view name : cases) {
    EXPECT_EQ(lookup_key(name), std::nullopt) << '"' << name << '"';
  }
}

TEST(Keys, TableHas83UniqueEntriesCoveringTheLowCodesBut10And52) {
  EXPECT_EQ(keys.size(), 83u);
  std::set<std::string_view> names;
  std::set<uint16_t> codes;
  for (const KeyName& key : keys) {
    names.insert(key.name);
    codes.insert(key.code);
    EXPECT_EQ(lookup_key(key.name), key.code) << key.name;
  }
  EXPECT_EQ(names.size(), 83u);
  EXPECT_EQ(codes.size(), 83u);
  for (uint16_t code = 0; code <= 62; ++code) {
    EXPECT_EQ(codes.count(code), code == 10 || code == 52 ? 0u : 1u) << code;
  }
}
