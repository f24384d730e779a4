// The Wayland backend's view of the compositor's globals: the seat and its
// capabilities, the managers of the agent's devices, and the outputs, whose
// names and geometry make the layout.
#include <wayland-client.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/displays.h"
#include "platform/linux/wayland.h"

namespace wayland {

bool has_size(const Output& output) {
  return output.bounds.width > 0 && output.bounds.height > 0;
}

// The output at logical 0,0, else the first announced.
const Output* main_output(const Compositor& c) {
  const Output* first = nullptr;
  for (const auto& output : c.outputs) {
    if (!has_size(*output)) continue;
    if (output->bounds.x == 0 && output->bounds.y == 0) return output.get();
    if (!first) first = output.get();
  }
  return first;
}

// The box around all outputs, which absolute motion spans.
Bounds bounding_box(const Compositor& c) {
  std::optional<Bounds> box;
  for (const auto& output : c.outputs) {
    if (!has_size(*output)) continue;
    const Bounds& b = output->bounds;
    if (!box) {
      box = b;
      continue;
    }
    double right = std::max(box->x + box->width, b.x + b.width);
    double bottom = std::max(box->y + box->height, b.y + b.height);
    box->x = std::min(box->x, b.x);
    box->y = std::min(box->y, b.y);
    box->width = right - box->x;
    box->height = bottom - box->y;
  }
  return box.value_or(Bounds{0, 0, 0, 0});
}

// Device pixels per logical pixel: the current mode's size over the logical
// size, rather than wl_output's scale, a whole number that fractional
// scaling rounds up. The longer sides, which a rotation swaps alike and the
// rounding of the logical size changes least.
double scale_of(const Output& output) {
  double device = std::max(output.mode_width, output.mode_height);
  return device > 0 ? device / std::max(output.bounds.width, output.bounds.height) : 1;
}

// Follows every change of an output, once complete, or an output gone.
void update_layout(Compositor& c) {
  const Output* main = main_output(c);
  c.main_display = main ? main->bounds : Bounds{0, 0, 0, 0};
  c.layout = bounding_box(c);
  c.displays.clear();
  for (const auto& output : c.outputs) {
    if (!has_size(*output)) continue;
    // A compositor that names no outputs: each gets a name of its own.
    std::string id = output->id.empty() ? "wl_output-" + std::to_string(output->name) : output->id;
    c.displays.push_back({std::move(id), output->bounds, scale_of(*output), output.get() == main});
  }
}

const zxdg_output_v1_listener kLogicalOutputListener = {
    .logical_position =
        [](void* data, zxdg_output_v1*, int32_t x, int32_t y) {
          static_cast<Output*>(data)->pending.x = x;
          static_cast<Output*>(data)->pending.y = y;
        },
    .logical_size =
        [](void* data, zxdg_output_v1*, int32_t width, int32_t height) {
          static_cast<Output*>(data)->pending.width = width;
          static_cast<Output*>(data)->pending.height = height;
        },
    .done =
        [](void* data, zxdg_output_v1*) {
          auto* output = static_cast<Output*>(data);
          output->bounds = output->pending;
          update_layout(the_compositor);
        },
    .name = [](void* data, zxdg_output_v1*,
               const char* name) { static_cast<Output*>(data)->id = name; },
    .description = [](void*, zxdg_output_v1*, const char*) {},
};

// An output's name (from version 4 on; xdg-output names it as well) and
// current mode. Its done ends a change of mode, as xdg-output's ends one of
// the logical geometry.
const wl_output_listener kOutputListener = {
    .geometry = [](void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
                   const char*, int32_t) {},
    .mode =
        [](void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
          if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
          static_cast<Output*>(data)->mode_width = width;
          static_cast<Output*>(data)->mode_height = height;
        },
    .done = [](void*, wl_output*) { update_layout(the_compositor); },
    .scale = [](void*, wl_output*, int32_t) {},
    .name = [](void* data, wl_output*, const char* name) { static_cast<Output*>(data)->id = name; },
    .description = [](void*, wl_output*, const char*) {},
};

void follow_output(Compositor& c, Output& output) {
  if (output.logical || !c.output_manager) return;
  output.logical = zxdg_output_manager_v1_get_xdg_output(c.output_manager, output.output);
  zxdg_output_v1_add_listener(output.logical, &kLogicalOutputListener, &output);
}

void forget_output(Compositor& c, uint32_t name) {
  std::erase_if(c.outputs, [&](const std::unique_ptr<Output>& output) {
    if (output->name != name) return false;
    if (output->logical) zxdg_output_v1_destroy(output->logical);
    if (wl_output_get_version(output->output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
      wl_output_release(output->output);
    } else {
      wl_output_destroy(output->output);
    }
    return true;
  });
  update_layout(c);
}

template <typename T>
T* bind(wl_registry* registry, uint32_t name, const wl_interface* interface, uint32_t offered,
        uint32_t wanted) {
  return static_cast<T*>(wl_registry_bind(registry, name, interface, std::min(offered, wanted)));
}

// The seat's capabilities, followed from the start: the first come with
// the bind.
const wl_seat_listener kSeatListener = {
    .capabilities = [](void*, wl_seat*,
                       uint32_t capabilities) { the_compositor.seat_capabilities = capabilities; },
    .name = [](void*, wl_seat*, const char*) {},
};

void on_global(void*, wl_registry* registry, uint32_t name, const char* interface,
               uint32_t version) {
  Compositor& c = the_compositor;
  std::string_view announced = interface;
  if (announced == wl_seat_interface.name && !c.seat) {
    c.seat = bind<wl_seat>(registry, name, &wl_seat_interface, version, 5);
    wl_seat_add_listener(c.seat, &kSeatListener, nullptr);
  } else if (announced == zwp_virtual_keyboard_manager_v1_interface.name) {
    c.keyboard_manager = bind<zwp_virtual_keyboard_manager_v1>(
        registry, name, &zwp_virtual_keyboard_manager_v1_interface, version, 1);
  } else if (announced == zwlr_virtual_pointer_manager_v1_interface.name) {
    c.pointer_manager = bind<zwlr_virtual_pointer_manager_v1>(
        registry, name, &zwlr_virtual_pointer_manager_v1_interface, version, 1);
  } else if (announced == zxdg_output_manager_v1_interface.name) {
    // Version 2 names the outputs and still ends each change with the
    // xdg-output's own done event (from version 3 on, wl_output's alone).
    c.output_manager =
        bind<zxdg_output_manager_v1>(registry, name, &zxdg_output_manager_v1_interface, version, 2);
    for (auto& output : c.outputs) follow_output(c, *output);
  } else if (announced == wl_output_interface.name) {
    auto& output = c.outputs.emplace_back(std::make_unique<Output>());
    output->name = name;
    c.output_unanswered = true;
    output->output = bind<wl_output>(registry, name, &wl_output_interface, version, 4);
    wl_output_add_listener(output->output, &kOutputListener, output.get());
    follow_output(c, *output);
  }
}

const wl_registry_listener kRegistryListener = {
    .global = on_global,
    .global_remove = [](void*, wl_registry*,
                        uint32_t name) { forget_output(the_compositor, name); },
};

}  // namespace wayland
