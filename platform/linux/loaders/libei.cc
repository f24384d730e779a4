#include "platform/linux/loaders/libei.h"

#include <optional>

#include "platform/linux/loaders/library.h"

namespace {

std::optional<Libei> load() {
  Library library("libei.so.1");
  Libei ei;
  library.find(ei.new_sender, "ei_new_sender");
  library.find(ei.unref, "ei_unref");
  library.find(ei.configure_name, "ei_configure_name");
  library.find(ei.log_set_handler, "ei_log_set_handler");
  library.find(ei.setup_backend_fd, "ei_setup_backend_fd");
  library.find(ei.get_fd, "ei_get_fd");
  library.find(ei.dispatch, "ei_dispatch");
  library.find(ei.get_event, "ei_get_event");
  library.find(ei.now, "ei_now");
  library.find(ei.event_get_type, "ei_event_get_type");
  library.find(ei.event_get_seat, "ei_event_get_seat");
  library.find(ei.event_get_device, "ei_event_get_device");
  library.find(ei.event_pong_get_ping, "ei_event_pong_get_ping");
  library.find(ei.event_keyboard_get_xkb_group, "ei_event_keyboard_get_xkb_group");
  library.find(ei.event_unref, "ei_event_unref");
  library.find(ei.seat_bind_capabilities, "ei_seat_bind_capabilities");
  library.find(ei.device_ref, "ei_device_ref");
  library.find(ei.device_unref, "ei_device_unref");
  library.find(ei.device_has_capability, "ei_device_has_capability");
  library.find(ei.device_get_region, "ei_device_get_region");
  library.find(ei.region_get_x, "ei_region_get_x");
  library.find(ei.region_get_y, "ei_region_get_y");
  library.find(ei.region_get_width, "ei_region_get_width");
  library.find(ei.region_get_height, "ei_region_get_height");
  library.find(ei.device_start_emulating, "ei_device_start_emulating");
  library.find(ei.device_frame, "ei_device_frame");
  library.find(ei.device_pointer_motion, "ei_device_pointer_motion");
  library.find(ei.device_pointer_motion_absolute, "ei_device_pointer_motion_absolute");
  library.find(ei.device_button_button, "ei_device_button_button");
  library.find(ei.device_scroll_discrete, "ei_device_scroll_discrete");
  library.find(ei.device_keyboard_key, "ei_device_keyboard_key");
  library.find(ei.device_keyboard_get_keymap, "ei_device_keyboard_get_keymap");
  library.find(ei.keymap_get_type, "ei_keymap_get_type");
  library.find(ei.keymap_get_fd, "ei_keymap_get_fd");
  library.find(ei.keymap_get_size, "ei_keymap_get_size");
  library.find(ei.new_ping, "ei_new_ping");
  library.find(ei.ping, "ei_ping");
  library.find(ei.ping_unref, "ei_ping_unref");
  if (!library.complete()) return std::nullopt;
  return ei;
}

}  // namespace

const Libei* libei() {
  static const std::optional<Libei> loaded = load();
  return loaded ? &*loaded : nullptr;
}
