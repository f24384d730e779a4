// libei, the client side of a compositor's input server (EIS), loaded when
// the EIS backend is tried (see platform/linux/loaders/library.h).
#pragma once

#include <libei.h>

struct Libei {
  decltype(&ei_new_sender) new_sender;
  decltype(&ei_unref) unref;
  decltype(&ei_configure_name) configure_name;
  decltype(&ei_log_set_handler) log_set_handler;
  decltype(&ei_setup_backend_fd) setup_backend_fd;
  decltype(&ei_get_fd) get_fd;
  decltype(&ei_dispatch) dispatch;
  decltype(&ei_get_event) get_event;
  decltype(&ei_now) now;
  decltype(&ei_event_get_type) event_get_type;
  decltype(&ei_event_get_seat) event_get_seat;
  decltype(&ei_event_get_device) event_get_device;
  decltype(&ei_event_pong_get_ping) event_pong_get_ping;
  decltype(&ei_event_keyboard_get_xkb_group) event_keyboard_get_xkb_group;
  decltype(&ei_event_unref) event_unref;
  decltype(&ei_seat_bind_capabilities) seat_bind_capabilities;
  decltype(&ei_device_ref) device_ref;
  decltype(&ei_device_unref) device_unref;
  decltype(&ei_device_has_capability) device_has_capability;
  decltype(&ei_device_get_region) device_get_region;
  decltype(&ei_region_get_x) region_get_x;
  decltype(&ei_region_get_y) region_get_y;
  decltype(&ei_region_get_width) region_get_width;
  decltype(&ei_region_get_height) region_get_height;
  decltype(&ei_device_start_emulating) device_start_emulating;
  decltype(&ei_device_frame) device_frame;
  decltype(&ei_device_pointer_motion) device_pointer_motion;
  decltype(&ei_device_pointer_motion_absolute) device_pointer_motion_absolute;
  decltype(&ei_device_button_button) device_button_button;
  decltype(&ei_device_scroll_discrete) device_scroll_discrete;
  decltype(&ei_device_keyboard_key) device_keyboard_key;
  decltype(&ei_device_keyboard_get_keymap) device_keyboard_get_keymap;
  decltype(&ei_keymap_get_type) keymap_get_type;
  decltype(&ei_keymap_get_fd) keymap_get_fd;
  decltype(&ei_keymap_get_size) keymap_get_size;
  decltype(&ei_new_ping) new_ping;
  decltype(&ei_ping) ping;
  decltype(&ei_ping_unref) ping_unref;
};

// The library's functions, loaded at the first call; nullptr when it or one
// of them is missing.
const Libei* libei();
