// Reaching the compositor's input server (EIS), as GNOME and KDE Plasma
// offer it: through the RemoteDesktop portal, which asks the person once and
// remembers the answer, or, when the controller asks for it
// (INPUT_AGENT_EIS=compositor), through the compositor's own interface,
// which asks nobody. The bus connection that made the session stays open for
// the process's whole life: the session ends with it.
//
// Once the agent runs, a thread of its own hears here of the session's end
// that the input server's connection does not show: the portal closing the
// session (as it does when the screen locks), or the bus going.
#pragma once

#include <optional>
#include <string>

#include "platform/linux/backend.h"

struct EisConnection {
  int fd = -1;  // the EIS socket, when reached
  platform::Reach reach = platform::Reach::kNobody;
  std::string why;
  // The portal's grant to keep for the next start, once the agent is ready:
  // its new restore token, or "" to forget the last.
  std::optional<std::string> restore_token = std::nullopt;
};

EisConnection connect_to_eis();

void keep_grant(const EisConnection& connection);

// Waits until the portal closes the session or the bus goes, and returns
// what ended it; nullptr once `quit` is readable, or at once where there is
// no bus (platform::await_session_end).
const char* await_portal_session_end(int quit);
