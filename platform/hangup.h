// Waiting for a display server to close its connection, on the thread that
// watches the session (platform::await_session_end).
#pragma once

#include <poll.h>

#include <cerrno>

namespace platform {

// Waits until the peer of the connection `fd` closes it (or the connection
// fails) and returns true; false when `quit` becomes readable first, or when
// `fd` is not open. Data arriving does not wake it: the agent's own thread
// reads that.
inline bool await_hangup(int fd, int quit) {
  if (fd < 0) return false;
  pollfd watched[] = {{fd, POLLRDHUP, 0}, {quit, POLLIN, 0}};
  while (poll(watched, 2, -1) < 0 && errno == EINTR) {
  }
  return !watched[1].revents && watched[0].revents && !(watched[0].revents & POLLNVAL);
}

}  // namespace platform
