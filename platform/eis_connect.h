// Reaching the compositor's input server (EIS), as GNOME and KDE Plasma
// offer it: through the RemoteDesktop portal, which asks the person once and
// remembers the answer, or, when the controller asks for it
// (INPUT_AGENT_EIS=compositor), through the compositor's own interface,
// which asks nobody. The bus connection that made the session stays open for
// the process's whole life: the session ends with it.
#pragma once

#include <string>

#include "platform/backend.h"

struct EisConnection {
  int fd = -1;  // the EIS socket, when reached
  platform::Reach reach = platform::Reach::kNobody;
  std::string why;
};

EisConnection connect_to_eis();
