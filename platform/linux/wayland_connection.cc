// The Wayland backend's connection: requests sent whatever the socket's
// room, and waits on the compositor that end within bounds.
#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <optional>

#include "platform/linux/wayland.h"
#include "platform/stop.h"

namespace wayland {

Compositor the_compositor;

uint32_t now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

std::optional<std::chrono::steady_clock::time_point> stop_deadline(Compositor& c) {
  if (stop_request() && !c.stop_deadline) {
    c.stop_deadline = std::chrono::steady_clock::now() + kExitPatience;
  }
  return c.stop_deadline;
}

int left_until(std::chrono::steady_clock::time_point deadline) {
  auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

bool send_all(Compositor& c) {
  while (wl_display_flush(c.display) < 0) {
    if (errno != EAGAIN) return false;
    int timeout = -1;
    if (auto deadline = stop_deadline(c)) {
      timeout = left_until(*deadline);
      if (timeout == 0) return false;
    }
    pollfd writable{wl_display_get_fd(c.display), POLLOUT, 0};
    if (poll(&writable, 1, timeout) < 0 && errno != EINTR) return false;
  }
  return wl_display_get_error(c.display) == 0;
}

void take_in_events(Compositor& c, int timeout) {
  while (wl_display_prepare_read(c.display) != 0) wl_display_dispatch_pending(c.display);
  send_all(c);
  pollfd readable{wl_display_get_fd(c.display), POLLIN, 0};
  if (poll(&readable, 1, timeout) > 0) {
    wl_display_read_events(c.display);
  } else {
    wl_display_cancel_read(c.display);
  }
  wl_display_dispatch_pending(c.display);
}

void round_trip(Compositor& c, std::chrono::milliseconds patience) {
  bool answered = false;
  static const wl_callback_listener kListener = {
      .done = [](void* data, wl_callback* callback, uint32_t) {
        *static_cast<bool*>(data) = true;
        wl_callback_destroy(callback);
      }};
  wl_callback_add_listener(wl_display_sync(c.display), &kListener, &answered);
  await(c, patience, [&] { return answered; });
}

}  // namespace wayland
