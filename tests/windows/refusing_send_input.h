// Compiled into the Windows backend of input-agent-refusing.exe, a build
// for the tests alone: its SendInput refuses input on the test's word (see
// refusing_send_input.cc).
#pragma once

#include <windows.h>

UINT refusing_SendInput(UINT count, LPINPUT inputs, int size);
#define SendInput refusing_SendInput
