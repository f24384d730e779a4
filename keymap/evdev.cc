#include "keymap/evdev.h"

#include <linux/input-event-codes.h>

#include <array>

#include "keymap/buttons.h"
#include "keymap/keys.h"

namespace {

struct Position {
  uint16_t code;
  uint16_t evdev;
};

constexpr Position kPositions[] = {
    {0, KEY_A},          {1, KEY_S},           {2, KEY_D},           {3, KEY_F},
    {4, KEY_H},          {5, KEY_G},           {6, KEY_Z},           {7, KEY_X},
    {8, KEY_C},          {9, KEY_V},           {11, KEY_B},          {12, KEY_Q},
    {13, KEY_W},         {14, KEY_E},          {15, KEY_R},          {16, KEY_Y},
    {17, KEY_T},         {18, KEY_1},          {19, KEY_2},          {20, KEY_3},
    {21, KEY_4},         {22, KEY_6},          {23, KEY_5},          {24, KEY_EQUAL},
    {25, KEY_9},         {26, KEY_7},          {27, KEY_MINUS},      {28, KEY_8},
    {29, KEY_0},         {30, KEY_RIGHTBRACE}, {31, KEY_O},          {32, KEY_U},
    {33, KEY_LEFTBRACE}, {34, KEY_I},          {35, KEY_P},          {36, KEY_ENTER},
    {37, KEY_L},         {38, KEY_J},          {39, KEY_APOSTROPHE}, {40, KEY_K},
    {41, KEY_SEMICOLON}, {42, KEY_BACKSLASH},  {43, KEY_COMMA},      {44, KEY_SLASH},
    {45, KEY_N},         {46, KEY_M},          {47, KEY_DOT},        {48, KEY_TAB},
    {49, KEY_SPACE},     {50, KEY_GRAVE},      {51, KEY_BACKSPACE},  {53, KEY_ESC},
    {54, KEY_RIGHTMETA}, {55, KEY_LEFTMETA},   {56, KEY_LEFTSHIFT},  {57, KEY_CAPSLOCK},
    {58, KEY_LEFTALT},   {59, KEY_LEFTCTRL},   {60, KEY_RIGHTSHIFT}, {61, KEY_RIGHTALT},
    {62, KEY_RIGHTCTRL}, {96, KEY_F5},         {97, KEY_F6},         {98, KEY_F7},
    {99, KEY_F3},        {100, KEY_F8},        {101, KEY_F9},        {103, KEY_F11},
    {109, KEY_F10},      {111, KEY_F12},       {114, KEY_INSERT},    {115, KEY_HOME},
    {116, KEY_PAGEUP},   {117, KEY_DELETE},    {118, KEY_F4},        {119, KEY_END},
    {120, KEY_F2},       {121, KEY_PAGEDOWN},  {122, KEY_F1},        {123, KEY_LEFT},
    {124, KEY_RIGHT},    {125, KEY_DOWN},      {126, KEY_UP},
};
static_assert(std::size(kPositions) == keys.size());

constexpr std::array<uint16_t, kKeyCodeLimit> kByCode = [] {
  std::array<uint16_t, kKeyCodeLimit> by_code{};
  for (const Position& position : kPositions) by_code[position.code] = position.evdev;
  return by_code;
}();

}  // namespace

uint16_t evdev_code(uint16_t code) {
  return code < kKeyCodeLimit ? kByCode[code] : 0;
}

uint16_t evdev_button(uint32_t platform_button) {
  switch (platform_button) {
    case kButtonRight:
      return BTN_RIGHT;
    case kButtonCenter:
      return BTN_MIDDLE;
    default:
      return BTN_LEFT;
  }
}

bool holds(const HeldKeys& held, uint16_t key) {
  for (uint16_t code = 0; code < kKeyCodeLimit; ++code) {
    if (held[code] && evdev_code(code) == key) return true;
  }
  return false;
}
