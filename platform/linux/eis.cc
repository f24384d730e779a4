// The EIS backend, for Wayland desktops without the wlroots virtual-input
// protocols, GNOME (mutter) and KDE Plasma (KWin) among them: the
// compositor's input server takes emulated devices from a libei client, as
// it takes real ones. The connection comes through the RemoteDesktop portal
// (platform/linux/eis_connect.cc); libei is loaded when this backend is tried.
//
// The agent asks the seat for a keyboard, an absolute pointer, a relative
// one, buttons and scrolling, and reports that it is ready once the
// compositor has resumed a keyboard and an absolute pointer for it; relative
// motion goes wherever the compositor gives a relative pointer too. Keys go
// out as evdev codes, which the compositor reads with its own keymap, so it
// works the modifiers out itself, as for a physical keyboard. Positions go
// on the absolute pointer within its regions, one per monitor, which the
// Wayland outputs name; each command's events end with a frame per device.
#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "keymap/evdev.h"
#include "keymap/keys.h"
#include "platform/linux/backend.h"
#include "platform/linux/eis_connect.h"
#include "platform/linux/loaders/libei.h"
#include "platform/linux/loaders/xkbcommon.h"
#include "platform/linux/typing.h"
#include "platform/motion.h"
#include "platform/stop.h"
#include "platform/wheel.h"

namespace {

using platform::Bounds;
using platform::Point;
using platform::Reach;

// How long the compositor gets to resume the agent's devices at start, and
// to take the last events at exit.
constexpr std::chrono::milliseconds kStartPatience{2000};
constexpr std::chrono::milliseconds kExitPatience{250};
// How long applications get to see the new devices once they are resumed:
// events sent at once are lost when the seat had none before. Measured on
// mutter 48 (headless, no other devices): at once, the first key was lost 5
// times in 5; after 10 ms, 2 in 5; after 25 ms and more, none (also with
// both cores busy).
constexpr std::chrono::milliseconds kApplicationsCatchUp{100};
// A wheel step, in libei's discrete units.
constexpr int32_t kDiscretePerStep = 120;
// libei writes each message as it is made, and drops the connection when
// the socket has no room for one. KWin 6.3 and mutter 48 take keys more
// slowly than the agent types them, and a 970-character text lost its end
// (KWin's last 200 characters) and the commands after it that way. So text
// waits for room after this many messages (a key and its frame are two):
// the kernel reports room once at most a quarter of the socket's buffer is
// taken, and a small message takes under 1 KiB of the 208 KiB it has by
// default.
constexpr int kMessagesBeforeRoom = 32;
// How often a wait for room looks whether the agent is ending.
constexpr int kRoomSliceMs = 50;

struct KeymapUnref {
  void operator()(xkb_keymap* keymap) const { xkbcommon()->keymap_unref(keymap); }
};

struct Devices {
  const Libei* ei = nullptr;
  struct ei* context = nullptr;
  int socket = -1;  // a copy of the input server's connection, for the watch
  struct ei_device* keyboard = nullptr;
  struct ei_device* pointer = nullptr;   // absolute, with buttons and scrolling
  struct ei_device* relative = nullptr;  // where the compositor gives one
  bool keyboard_resumed = false, pointer_resumed = false, relative_resumed = false;
  const char* ended = nullptr;  // what ended the session, once it has
  uint32_t sequence = 0;
  // The absolute pointer's regions, the main display's first. A device's
  // regions stay as they are: a new layout comes with a new device.
  std::vector<Bounds> regions;
  // The one the agent last put the pointer in: none before its first
  // motion, nor once the layout is new.
  std::optional<size_t> pointer_region;
  bool outputs_known = false;  // the Wayland outputs, which name the regions
  std::optional<Point> last_point;
  bool point_estimated = false;  // reckoned from relative motion since
  WheelCarry wheel, wheel_sideways;
  MotionCarry motion;            // what relative motion has left below 1/256 pixel
  bool events_taken_in = false;  // since the last read of the agent's input
  std::optional<std::chrono::steady_clock::time_point> stop_deadline;  // once asked to stop
  bool pong = false;
  int unchecked = 0;  // messages sent since the socket last had room
  HeldKeys held{};    // by the key table's codes
  // The keyboard's keymap, for text; none when the server gives no XKB
  // keymap or xkbcommon is missing.
  std::unique_ptr<xkb_keymap, KeymapUnref> keymap;
  // The layout group in force, as the server last announced it for the
  // keyboard, and what types each character in it.
  uint32_t group = 0;
  platform::TypingTable typing;
};

Devices the_devices;

// Reads the pointer's regions. The region at 0,0 is the main display, where
// there is one: it is where a compositor puts its primary monitor, and what
// a page's fractions mean on the other backends; else the first region.
void read_regions(Devices& d) {
  d.regions.clear();
  d.pointer_region.reset();
  for (size_t i = 0; d.pointer; ++i) {
    struct ei_region* region = d.ei->device_get_region(d.pointer, i);
    if (!region) break;
    d.regions.push_back({static_cast<double>(d.ei->region_get_x(region)),
                         static_cast<double>(d.ei->region_get_y(region)),
                         static_cast<double>(d.ei->region_get_width(region)),
                         static_cast<double>(d.ei->region_get_height(region))});
  }
  auto main = std::ranges::find_if(d.regions, [](const Bounds& b) { return b.x == 0 && b.y == 0; });
  if (main != d.regions.end()) std::rotate(d.regions.begin(), main, main + 1);
}

Bounds main_region(const Devices& d) {
  return d.regions.empty() ? Bounds{0, 0, 0, 0} : d.regions.front();
}

// Learns which key, plain or with Shift, types each character in the group
// in force. Only a change of group or keymap costs this, never a command.
void learn_group(Devices& d) {
  d.typing.clear();
  if (d.keymap) d.typing = platform::typing_from_keymap(*xkbcommon(), d.keymap.get(), d.group);
}

// The keymap that `fd`'s first `size` bytes hold, compiled; nullptr when
// they do not compile.
xkb_keymap* compile_keymap(const Xkbcommon& xkb, int fd, size_t size) {
  void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (text == MAP_FAILED) return nullptr;
  xkb_keymap* keymap = nullptr;
  if (xkb_context* context = xkb.context_new(XKB_CONTEXT_NO_FLAGS)) {
    keymap = xkb.keymap_new_from_buffer(context, static_cast<const char*>(text), size,
                                        XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
    xkb.context_unref(context);  // the keymap keeps a reference of its own
  }
  munmap(text, size);
  return keymap;
}

// Takes in the keyboard's keymap. A new keyboard starts in the first group
// until the server announces another: libei keeps modifier state per
// device.
void read_keymap(Devices& d) {
  d.keymap.reset();
  d.group = 0;
  struct ei_keymap* keymap = d.ei->device_keyboard_get_keymap(d.keyboard);
  const Xkbcommon* xkb = xkbcommon();
  if (keymap && xkb && d.ei->keymap_get_type(keymap) == EI_KEYMAP_TYPE_XKB) {
    d.keymap.reset(
        compile_keymap(*xkb, d.ei->keymap_get_fd(keymap), d.ei->keymap_get_size(keymap)));
  }
  learn_group(d);
}

// Takes `device` (or nothing) as the keyboard or pointer, letting go of the
// one before.
void adopt(Devices& d, struct ei_device* device, struct ei_device*& slot, bool& resumed) {
  if (slot) d.ei->device_unref(slot);
  slot = device ? d.ei->device_ref(device) : nullptr;
  resumed = false;
}

void handle(Devices& d, struct ei_event* event) {
  const Libei& ei = *d.ei;
  struct ei_device* device = ei.event_get_device(event);
  switch (ei.event_get_type(event)) {
    case EI_EVENT_SEAT_ADDED:
      ei.seat_bind_capabilities(ei.event_get_seat(event), EI_DEVICE_CAP_KEYBOARD,
                                EI_DEVICE_CAP_POINTER_ABSOLUTE, EI_DEVICE_CAP_POINTER,
                                EI_DEVICE_CAP_BUTTON, EI_DEVICE_CAP_SCROLL, nullptr);
      break;
    case EI_EVENT_DEVICE_ADDED:
      if (ei.device_has_capability(device, EI_DEVICE_CAP_KEYBOARD)) {
        adopt(d, device, d.keyboard, d.keyboard_resumed);
        read_keymap(d);
      }
      if (ei.device_has_capability(device, EI_DEVICE_CAP_POINTER_ABSOLUTE)) {
        adopt(d, device, d.pointer, d.pointer_resumed);
        read_regions(d);
      }
      if (ei.device_has_capability(device, EI_DEVICE_CAP_POINTER)) {
        adopt(d, device, d.relative, d.relative_resumed);
      }
      break;
    case EI_EVENT_DEVICE_RESUMED:
      ei.device_start_emulating(device, ++d.sequence);
      if (device == d.keyboard) d.keyboard_resumed = true;
      if (device == d.pointer) d.pointer_resumed = true;
      if (device == d.relative) d.relative_resumed = true;
      break;
    case EI_EVENT_DEVICE_PAUSED:
      if (device == d.keyboard) d.keyboard_resumed = false;
      if (device == d.pointer) d.pointer_resumed = false;
      if (device == d.relative) d.relative_resumed = false;
      break;
    case EI_EVENT_DEVICE_REMOVED:
      if (device == d.keyboard) adopt(d, nullptr, d.keyboard, d.keyboard_resumed);
      if (device == d.pointer) adopt(d, nullptr, d.pointer, d.pointer_resumed);
      if (device == d.relative) adopt(d, nullptr, d.relative, d.relative_resumed);
      break;
    case EI_EVENT_KEYBOARD_MODIFIERS:
      if (device == d.keyboard && ei.event_keyboard_get_xkb_group(event) != d.group) {
        d.group = ei.event_keyboard_get_xkb_group(event);
        learn_group(d);
      }
      break;
    case EI_EVENT_SEAT_REMOVED:
      if (!d.ended) d.ended = "the compositor took the agent's seat away";
      break;
    case EI_EVENT_DISCONNECT:
      d.ended = "the compositor's input server disconnected the agent";
      break;
    case EI_EVENT_PONG:
      d.pong = true;
      break;
    default:
      break;
  }
}

// Reads and handles what the input server has sent, waiting at most
// `timeout` milliseconds for something to arrive.
void take_in_events(Devices& d, int timeout) {
  pollfd readable{d.ei->get_fd(d.context), POLLIN, 0};
  if (timeout > 0 && poll(&readable, 1, timeout) <= 0) return;
  d.ei->dispatch(d.context);
  while (struct ei_event* event = d.ei->get_event(d.context)) {
    handle(d, event);
    d.ei->event_unref(event);
  }
}

// Waits, within `patience`, until `done` says so. Once the agent is asked
// to stop, every wait ends by kExitPatience after the first that saw the
// request, in all.
template <typename Done>
void await(Devices& d, std::chrono::milliseconds patience, Done done) {
  auto deadline = std::chrono::steady_clock::now() + patience;
  while (!done() && !d.ended) {
    if (stop_request() && !d.stop_deadline) {
      d.stop_deadline = std::chrono::steady_clock::now() + kExitPatience;
    }
    if (d.stop_deadline) deadline = std::min(deadline, *d.stop_deadline);
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    take_in_events(d, static_cast<int>(left.count()));
  }
}

Reach connect() {
  Devices& d = the_devices;
  d.ei = libei();
  if (!d.ei) return Reach::kNobody;
  EisConnection connection = connect_to_eis();
  if (connection.reach != Reach::kReady) return connection.reach;
  d.context = d.ei->new_sender(nullptr);
  // libei logs to standard error by default, a line for each message it
  // could not send: enough, to a server gone mid-stream, to fill a pipe
  // nobody reads and stop the agent. The agent says nothing there.
  d.ei->log_set_handler(
      d.context, [](struct ei*, enum ei_log_priority, const char*, struct ei_log_context*) {});
  d.ei->configure_name(d.context, "input-agent");
  // libei owns the descriptor and closes it when it drops the connection;
  // the session's watch keeps a copy of its own, which stays the socket's.
  d.socket = fcntl(connection.fd, F_DUPFD_CLOEXEC, 0);
  if (d.ei->setup_backend_fd(d.context, connection.fd) != 0) return Reach::kRefused;
  await(d, kStartPatience, [&] { return d.keyboard_resumed && d.pointer_resumed; });
  if (!d.keyboard_resumed || !d.pointer_resumed || main_region(d).width <= 0) {
    return Reach::kRefused;
  }
  // Any client reads the outputs, with no grant; the connection is already
  // there when the Wayland backend was tried first.
  d.outputs_known = platform::kWaylandGeometry.connect();
  std::this_thread::sleep_for(kApplicationsCatchUp);
  keep_grant(connection);
  return Reach::kReady;
}

// The devices, with the input server's news (a device paused, removed or
// given a new keymap, a new region, the connection's end) taken in once per
// read of the agent's input, at its first command, whatever that is.
Devices& devices() {
  Devices& d = the_devices;
  if (!d.events_taken_in) {
    d.events_taken_in = true;
    take_in_events(d, 0);
  }
  return d;
}

// Whether more than half of `a` lies in `b`.
bool mostly_within(const Bounds& a, const Bounds& b) {
  double width = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
  double height = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
  return width > 0 && height > 0 && 2 * width * height > a.width * a.height;
}

// The region over a Wayland output: mutter and KWin give each monitor a
// region of its logical position and size. The region taken is the one that
// has more than half of its area in the output and the output more than
// half of its own in it, which allows for a pixel rounded otherwise on
// either side; regions do not overlap, so at most one does.
std::optional<Bounds> region_over(const Devices& d, const Bounds& output) {
  for (const Bounds& region : d.regions) {
    if (mostly_within(region, output) && mostly_within(output, region)) return region;
  }
  return std::nullopt;
}

// The region over the Wayland main output, so that the main display is the
// one --displays marks main; the first region until the outputs are known.
Bounds main_display() {
  Devices& d = devices();
  if (!d.outputs_known) return main_region(d);
  return region_over(d, platform::kWaylandGeometry.main_display()).value_or(main_region(d));
}

std::optional<Bounds> display_named(std::string_view id) {
  Devices& d = devices();
  std::optional<Bounds> output =
      d.outputs_known ? platform::kWaylandGeometry.display_named(id) : std::nullopt;
  if (!output) return std::nullopt;
  return region_over(d, *output);
}

// No client can read the pointer's position: where the agent last put it,
// or reckons relative motion took it, stands in for it.
std::optional<Point> cursor() {
  return the_devices.last_point;
}

void press(Devices& d, uint32_t key, bool down) {
  d.ei->device_keyboard_key(d.keyboard, key, down);
  d.ei->device_frame(d.keyboard, d.ei->now(d.context));
  d.unchecked += 2;
}

// Waits, once kMessagesBeforeRoom messages have gone since the last look,
// until the input server's socket has room, or the agent is ending. The
// system's signal for news on the socket interrupts the wait, which goes on.
void make_room_when_due(Devices& d) {
  if (d.unchecked < kMessagesBeforeRoom || d.socket < 0) return;
  d.unchecked = 0;
  pollfd room{d.socket, POLLOUT, 0};
  while (!ending()) {
    int ready = poll(&room, 1, kRoomSliceMs);
    if (ready > 0 || (ready < 0 && errno != EINTR)) return;
  }
}

void post_key(uint16_t code, bool down, uint64_t) {
  Devices& d = devices();
  uint16_t key = evdev_code(code);
  if (!key || !d.keyboard_resumed) return;
  d.held[code] = down;
  press(d, key, down);
}

void press_held_modifiers(Devices& d, bool down) {
  ::press_held_modifiers(d.held, down, [&](uint16_t key, bool to) { press(d, key, to); });
}

void type_key(Devices& d, uint16_t key, bool shifted) {
  ::type_key(d.held, key, shifted, [&](uint16_t code, bool down) { press(d, code, down); });
}

// Text is typed with the keyboard's keymap, the compositor's layout, in the
// group the server last announced: each character on the key and level
// (plain or with Shift) that types it there, the modifier keys the agent
// holds up meanwhile. The input server takes keys only, so a character the
// layout cannot type is left out.
void post_text(const char32_t* text, size_t count) {
  Devices& d = devices();
  if (!d.keyboard_resumed || d.typing.empty()) return;
  press_held_modifiers(d, false);
  for (size_t i = 0; i < count && !ending(); ++i) {
    auto found = d.typing.find(text[i]);
    if (found == d.typing.end()) continue;
    type_key(d, found->second.key, found->second.shifted);
    make_room_when_due(d);
  }
  press_held_modifiers(d, true);
}

// A point of the regions, and the region it is in.
struct Placed {
  Point point;
  size_t region;
};

// The point of the regions nearest `point`, in the region it lies in, else
// in the nearest (the main one when several are as near).
Placed nearest(const Devices& d, Point point) {
  Placed chosen{{0, 0}, 0};
  double chosen_distance = std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < d.regions.size(); ++i) {
    const Bounds& region = d.regions[i];
    Point inside{std::clamp(point.x, region.x, region.x + region.width - 1),
                 std::clamp(point.y, region.y, region.y + region.height - 1)};
    double distance = std::hypot(inside.x - point.x, inside.y - point.y);
    if (distance < chosen_distance) {
      chosen = {inside, i};
      chosen_distance = distance;
    }
  }
  return chosen;
}

// Where a point goes: on its whole pixel, within the regions, since the
// input server drops a point outside every region.
Placed place(const Devices& d, Point point) {
  return nearest(d, {std::round(point.x), std::round(point.y)});
}

// The middle of where [start, start + length) of `from` and `to` overlap,
// else of `to`'s.
double middle(double from_start, double from_length, double to_start, double to_length) {
  double start = std::max(from_start, to_start),
         end = std::min(from_start + from_length, to_start + to_length);
  return std::round(start < end ? (start + end) / 2 : to_start + to_length / 2);
}

// KWin (Plasma 6.1 and later) holds the pointer back at the edge between
// two monitors, absolute motion too: it takes the first 100 pixels (by
// default) of a motion across, and all of one within 15 pixels of a
// corner. So the pointer first enters another region at a point deep in it,
// across the middle of the edge the two share; at the region's middle when
// it is not known where the pointer is.
void enter(Devices& d, size_t to) {
  const Bounds& into = d.regions[to];
  const Bounds& from = d.pointer_region ? d.regions[*d.pointer_region] : into;
  d.ei->device_pointer_motion_absolute(d.pointer, middle(from.x, from.width, into.x, into.width),
                                       middle(from.y, from.height, into.y, into.height));
  d.ei->device_frame(d.pointer, d.ei->now(d.context));
  d.pointer_region = to;
}

// Releasing everything puts the buttons up at cursor(), which after
// relative motion is an estimate, wrong where a client has locked the
// pointer; there a move would reach that client as motion of its own. A
// release at that point goes where the pointer is, without a move.
bool release_in_place(const Devices& d, uint32_t type, Point point) {
  return d.point_estimated && platform::is_release(type) && point.x == d.last_point->x &&
         point.y == d.last_point->y;
}

// The buttons are the absolute pointer's alone, also in a drag by relative
// motion: the compositor lets a device release only what it pressed.
void post_mouse(uint32_t type, Point point, uint32_t button, uint64_t, int64_t) {
  Devices& d = devices();
  if (!d.pointer_resumed || d.regions.empty()) return;
  if (!release_in_place(d, type, point)) {
    Placed placed = place(d, point);
    if (d.pointer_region != placed.region) enter(d, placed.region);
    d.ei->device_pointer_motion_absolute(d.pointer, placed.point.x, placed.point.y);
    d.last_point = point;
    d.point_estimated = false;
  }
  bool press = platform::is_press(type), release = platform::is_release(type);
  if (press || release) d.ei->device_button_button(d.pointer, evdev_button(button), press);
  d.ei->device_frame(d.pointer, d.ei->now(d.context));
}

// A delta in whole 1/256 pixels, the rest carried over in `carry`: clients
// get relative motion in wl_fixed, which the compositor rounds each delta
// to. Such values are exact in libei's 32-bit floats too.
double take_fixed(double& carry, double delta) {
  return take_256ths(carry, delta) / 256;
}

// Where relative motion takes the pointer, as the agent reckons it: the
// compositor keeps it on the monitors, at the point of theirs nearest to
// where it would have gone. Where a client has locked the pointer it stays
// instead, and KWin holds it at the edge between monitors; so once the
// reckoning leaves the region the pointer was in, the agent no longer takes
// it to be there, and the next absolute move enters its region first.
void reckon(Devices& d, double dx, double dy) {
  if (!d.last_point || d.regions.empty()) return;
  Placed moved = nearest(d, {d.last_point->x + dx, d.last_point->y + dy});
  if (d.pointer_region != moved.region) d.pointer_region.reset();
  d.last_point = moved.point;
  d.point_estimated = true;
}

// Motion of the relative pointer, as a mouse's: mutter and KWin hand it,
// unaccelerated, to a client that has locked the pointer, and otherwise
// move the pointer by it. Without a relative pointer it is dropped.
void post_motion(uint32_t, double dx, double dy, uint32_t, uint64_t, int64_t) {
  Devices& d = devices();
  if (!d.relative_resumed) return;
  double x = take_fixed(d.motion.x, dx), y = take_fixed(d.motion.y, dy);
  if (x == 0 && y == 0) return;
  d.ei->device_pointer_motion(d.relative, x, y);
  d.ei->device_frame(d.relative, d.ei->now(d.context));
  reckon(d, x, y);
}

// Whole wheel steps, as discrete scrolling, positive down and right; both
// axes in one event.
void post_wheel(int32_t vertical, int32_t horizontal) {
  Devices& d = devices();
  auto down = static_cast<int32_t>(-take_wheel_steps(d.wheel, vertical));
  auto right = static_cast<int32_t>(-take_wheel_steps(d.wheel_sideways, horizontal));
  if ((down == 0 && right == 0) || !d.pointer_resumed) return;
  d.ei->device_scroll_discrete(d.pointer, right * kDiscretePerStep, down * kDiscretePerStep);
  d.ei->device_frame(d.pointer, d.ei->now(d.context));
}

void on_input() {
  the_devices.events_taken_in = false;
  if (the_devices.outputs_known) platform::kWaylandGeometry.on_input();
}

// libei writes each event as it is made.
bool flush() {
  return !the_devices.ended;
}

const char* session_end() {
  return the_devices.ended ? the_devices.ended
                           : "the compositor's input server closed the connection";
}

int session_connection() {
  return the_devices.socket;
}

const char* await_session_end(int quit) {
  return await_portal_session_end(quit);
}

// Waits, within a bound, for the answer to a ping, which comes after the
// server has taken everything sent before it. libei drops a connection
// whose writes fail, and a ping on it would crash; its news tells.
void finish() {
  Devices& d = the_devices;
  take_in_events(d, 0);
  if (d.ended) return;
  d.stop_deadline.reset();  // the final confirmation gets one of its own
  struct ei_ping* ping = d.ei->new_ping(d.context);
  d.pong = false;
  d.ei->ping(ping);
  await(d, kExitPatience, [&] { return d.pong; });
  d.ei->ping_unref(ping);
}

// Named here, where these functions are the ones in scope.
constexpr platform::Backend kBackend = {
    connect,   main_display, display_named,        cursor,
    post_key,  post_mouse,   post_motion,          post_wheel,
    post_text, on_input,     platform::never_idle, platform::nothing_when_idle,
    flush,     session_end,  session_connection,   await_session_end,
    finish,
};

}  // namespace

const platform::Backend platform::kEisBackend = kBackend;
