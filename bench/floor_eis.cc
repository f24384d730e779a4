// The floor for posting through a compositor's input server (EIS): reached
// as the agent reaches it (INPUT_AGENT_EIS=compositor), then, for each input
// line, one absolute motion of the emulated pointer and its frame, which
// libei writes at once. Its start-up and its end wait as the agent's do.
//   floor_eis < lines
#include <poll.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "platform/linux/eis_connect.h"
#include "platform/linux/loaders/libei.h"

namespace {

// Takes the seat's absolute pointer and waits until the server resumes it.
struct ei_device* resumed_pointer(const Libei& ei, struct ei* context) {
  struct ei_device* pointer = nullptr;
  bool resumed = false;
  while (!resumed) {
    pollfd readable{ei.get_fd(context), POLLIN, 0};
    if (poll(&readable, 1, 5000) != 1) return nullptr;
    ei.dispatch(context);
    while (struct ei_event* event = ei.get_event(context)) {
      struct ei_device* device = ei.event_get_device(event);
      switch (ei.event_get_type(event)) {
        case EI_EVENT_SEAT_ADDED:
          // What the agent asks for, so that the server keeps the same devices.
          ei.seat_bind_capabilities(ei.event_get_seat(event), EI_DEVICE_CAP_KEYBOARD,
                                    EI_DEVICE_CAP_POINTER_ABSOLUTE, EI_DEVICE_CAP_BUTTON,
                                    EI_DEVICE_CAP_SCROLL, nullptr);
          break;
        case EI_EVENT_DEVICE_ADDED:
          if (ei.device_has_capability(device, EI_DEVICE_CAP_POINTER_ABSOLUTE)) {
            pointer = ei.device_ref(device);
          }
          break;
        case EI_EVENT_DEVICE_RESUMED:
          ei.device_start_emulating(device, 1);
          resumed = resumed || device == pointer;
          break;
        default:
          break;
      }
      ei.event_unref(event);
    }
  }
  return pointer;
}

}  // namespace

int main() {
  const Libei* ei = libei();
  EisConnection connection = connect_to_eis();
  if (!ei || connection.reach != platform::Reach::kReady) return 1;
  struct ei* context = ei->new_sender(nullptr);
  if (ei->setup_backend_fd(context, connection.fd) != 0) return 1;
  struct ei_device* pointer = resumed_pointer(*ei, context);
  if (!pointer) return 1;
  // The agent's wait for applications to see the new device.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::ios::sync_with_stdio(false);
  std::string line;
  for (long i = 0; std::getline(std::cin, line); ++i) {
    ei->device_pointer_motion_absolute(pointer,
                                       static_cast<double>(i * 7919 % 10007 * 1279 / 10007),
                                       static_cast<double>(i * 104729 % 10009 * 799 / 10009));
    ei->device_frame(pointer, ei->now(context));
  }
  // As the agent does at exit: waits, at most 250 ms, for the answer to a
  // ping, which comes once the server has taken everything before it.
  struct ei_ping* ping = ei->new_ping(context);
  ei->ping(ping);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
  for (bool answered = false; !answered;) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd readable{ei->get_fd(context), POLLIN, 0};
    if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) != 1) break;
    ei->dispatch(context);
    while (struct ei_event* event = ei->get_event(context)) {
      answered = answered || ei->event_get_type(event) == EI_EVENT_PONG;
      ei->event_unref(event);
    }
  }
  ei->ping_unref(ping);
  ei->device_unref(pointer);
  ei->unref(context);
  return 0;
}
