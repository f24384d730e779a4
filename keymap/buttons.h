// The agent's mouse button numbers, CoreGraphics' own (CGMouseButton): the
// agent decides them and every backend carries them to its system. They sit
// with the key tables, below the platform, so that a table of the system's
// buttons (keymap/evdev.h) needs nothing of the platform; platform.h names
// them in namespace platform too.
#pragma once

#include <cstdint>

constexpr uint32_t kButtonLeft = 0;
constexpr uint32_t kButtonRight = 1;
constexpr uint32_t kButtonCenter = 2;
