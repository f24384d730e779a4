#include "platform/linux/eis_connect.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/loaders/dbus.h"
#include "platform/linux/restore_token.h"
#include "platform/stop.h"

namespace {

using namespace std::chrono_literals;

constexpr char kPortal[] = "org.freedesktop.portal.Desktop";
constexpr char kPortalPath[] = "/org/freedesktop/portal/desktop";
constexpr char kRemoteDesktop[] = "org.freedesktop.portal.RemoteDesktop";

// How long the portal gets to answer a step, and the person to answer its
// dialog.
constexpr std::chrono::milliseconds kPortalPatience = 10s;
constexpr std::chrono::milliseconds kPersonPatience = 60s;

// The portal's device types, which KWin's own interface takes too.
constexpr uint32_t kKeyboardAndPointer = 1 | 2;
// Kept until the person revokes the permission.
constexpr uint32_t kPersistUntilRevoked = 2;

std::string value_of(const char* variable) {
  const char* value = getenv(variable);
  return value ? value : "";
}

bool asked_to_stop() {
  return stop_request() != 0;
}

struct Portal {
  const SessionBus& bus;
  std::string session;
  std::string name;  // the portal's unique name on the bus, once it answered
  int tokens = 0;

  std::string next_token() {
    return "input_agent_" + std::to_string(getpid()) + "_" + std::to_string(++tokens);
  }

  // Makes a request whose answer comes as a Response signal from the
  // portal; nothing when the portal is not there or gave no answer within
  // `patience`.
  template <typename Fill>
  std::optional<SessionBus::Response> request(const char* name_of_request, Fill fill,
                                              std::chrono::milliseconds patience) {
    std::string token = next_token();
    std::string path = std::string(kPortalPath) + "/request/" + bus.sender() + "/" + token;
    bus.watch_signals("type='signal',sender='" + std::string(kPortal) +
                      "',interface='org.freedesktop.portal.Request',member='Response',path='" +
                      path + "'");
    Message call = bus.method(kPortal, kPortalPath, kRemoteDesktop, name_of_request);
    fill(call.get(), token.c_str());
    Message reply = bus.call(call, kPortalPatience);
    if (!reply) return std::nullopt;
    name = bus.sender_of(reply);
    return bus.await_response(path, name, patience, asked_to_stop);
  }
};

EisConnection refused(std::string why) {
  return {-1, platform::Reach::kRefused, std::move(why)};
}

// The portal's session, once made: the watching thread hears of its end
// from the portal.
struct PortalSession {
  std::string path;
  std::string portal;  // the portal's unique name
};
PortalSession portal_session;

EisConnection through_portal(const SessionBus& bus) {
  Portal portal{bus, "", "", 0};
  std::string session_token = portal.next_token();
  auto created = portal.request(
      "CreateSession",
      [&](DBusMessage* call, const char* token) {
        bus.append(call,
                   {{"handle_token", token}, {"session_handle_token", session_token.c_str()}});
      },
      kPortalPatience);
  if (!created) return {-1, platform::Reach::kNobody, "no RemoteDesktop portal answers"};
  if (created->code != 0) return refused("the portal would not make a session");
  portal.session = created->results["session_handle"];
  if (!bus.valid_path(portal.session)) return refused("the portal named no session");
  // Heard from the start: a Closed that comes once the session is made
  // waits in the connection's queue for the watch (one that comes while a
  // request is waited on goes, but the portal then fails that request).
  bus.watch_signals("type='signal',sender='" + portal.name +
                    "',interface='org.freedesktop.portal.Session',member='Closed',path='" +
                    portal.session + "'");

  // A token libdbus would not send is as good as none.
  std::string restore = read_restore_token();
  if (!bus.valid_text(restore)) restore.clear();
  auto selected = portal.request(
      "SelectDevices",
      [&](DBusMessage* call, const char* token) {
        bus.append(call, portal.session.c_str(), DBUS_TYPE_OBJECT_PATH);
        if (restore.empty()) {
          bus.append(call, {{"handle_token", token},
                            {"types", nullptr, kKeyboardAndPointer},
                            {"persist_mode", nullptr, kPersistUntilRevoked}});
        } else {
          bus.append(call, {{"handle_token", token},
                            {"types", nullptr, kKeyboardAndPointer},
                            {"persist_mode", nullptr, kPersistUntilRevoked},
                            {"restore_token", restore.c_str()}});
        }
      },
      kPortalPatience);
  if (!selected || selected->code != 0) return refused("the portal would not select devices");

  auto started = portal.request(
      "Start",
      [&](DBusMessage* call, const char* token) {
        bus.append(call, portal.session.c_str(), DBUS_TYPE_OBJECT_PATH);
        bus.append(call, "");
        bus.append(call, {{"handle_token", token}});
      },
      kPersonPatience);
  if (!started) return refused("nobody answered the portal's dialog in time");
  if (started->code != 0) return refused("the person did not allow it");

  Message call = bus.method(kPortal, kPortalPath, kRemoteDesktop, "ConnectToEIS");
  bus.append(call.get(), portal.session.c_str(), DBUS_TYPE_OBJECT_PATH);
  bus.append(call.get(), std::initializer_list<Option>{});
  int fd = bus.fd_in(bus.call(call, kPortalPatience));
  if (fd < 0) return refused("the portal gave no input server");
  portal_session = {portal.session, portal.name};
  // Tokens are single-use: this one replaces the last, or, where the
  // portal gave none, the last is forgotten.
  return {fd, platform::Reach::kReady, "the RemoteDesktop portal",
          started->results["restore_token"]};
}

// GNOME's own interface: a remote desktop session, its input server, then
// the session started.
EisConnection through_mutter(const SessionBus& bus) {
  constexpr char kMutter[] = "org.gnome.Mutter.RemoteDesktop";
  constexpr char kSession[] = "org.gnome.Mutter.RemoteDesktop.Session";
  std::optional<std::string> session = bus.path_in(
      bus.call(bus.method(kMutter, "/org/gnome/Mutter/RemoteDesktop", kMutter, "CreateSession"),
               kPortalPatience));
  if (!session) return {-1, platform::Reach::kNobody, ""};
  Message call = bus.method(kMutter, session->c_str(), kSession, "ConnectToEIS");
  bus.append(call.get(), std::initializer_list<Option>{});
  int fd = bus.fd_in(bus.call(call, kPortalPatience));
  if (fd < 0) return refused("mutter gave no input server");
  if (!bus.call(bus.method(kMutter, session->c_str(), kSession, "Start"), kPortalPatience)) {
    close(fd);
    return refused("mutter would not start the session");
  }
  return {fd, platform::Reach::kReady, "mutter's own remote desktop interface"};
}

// KDE Plasma's own interface.
EisConnection through_kwin(const SessionBus& bus) {
  Message call = bus.method("org.kde.KWin", "/org/kde/KWin/EIS/RemoteDesktop",
                            "org.kde.KWin.EIS.RemoteDesktop", "connectToEIS");
  bus.append(call.get(), static_cast<int32_t>(kKeyboardAndPointer));
  int fd = bus.fd_in(bus.call(call, kPortalPatience));
  if (fd < 0) return {-1, platform::Reach::kNobody, ""};
  return {fd, platform::Reach::kReady, "KWin's own remote desktop interface"};
}

// The bus connection that made the session: it lives as long as the
// process, and the session with it.
std::unique_ptr<SessionBus> the_bus;

}  // namespace

EisConnection connect_to_eis() {
  if (!the_bus) the_bus = std::make_unique<SessionBus>();
  const SessionBus& bus = *the_bus;
  if (!bus.connected()) return {-1, platform::Reach::kNobody, "no session bus"};
  if (value_of("INPUT_AGENT_EIS") != "compositor") return through_portal(bus);
  for (auto route : {through_mutter, through_kwin}) {
    EisConnection connection = route(bus);
    if (connection.reach != platform::Reach::kNobody) return connection;
  }
  return {-1, platform::Reach::kNobody,
          "neither mutter's nor KWin's remote desktop interface answers"};
}

void keep_grant(const EisConnection& connection) {
  if (connection.restore_token) keep_restore_token(*connection.restore_token);
}

// The bus is this thread's alone by now: the agent's own used it only to
// connect.
const char* await_portal_session_end(int quit) {
  int bus_fd = the_bus ? the_bus->fd() : -1;
  if (bus_fd < 0) return nullptr;
  pollfd watched[] = {{bus_fd, POLLIN | POLLRDHUP, 0}, {quit, POLLIN, 0}};
  // Whatever came while the agent connected is queued already.
  if (the_bus->signal_came("org.freedesktop.portal.Session", "Closed", portal_session.path,
                           portal_session.portal)) {
    return "the portal closed the session";
  }
  for (;;) {
    if (poll(watched, std::size(watched), -1) < 0) {
      if (errno == EINTR) continue;
      return nullptr;
    }
    if (watched[1].revents) return nullptr;
    if (!watched[0].revents) continue;
    if (the_bus->signal_came("org.freedesktop.portal.Session", "Closed", portal_session.path,
                             portal_session.portal)) {
      return "the portal closed the session";
    }
    if (!the_bus->still_connected()) return "the session bus closed the connection";
  }
}
