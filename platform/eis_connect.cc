#include "platform/eis_connect.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "app/process.h"
#include "platform/dbus.h"

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

// Where the portal's restore token is kept between runs.
std::string token_file() {
  std::string state = value_of("XDG_STATE_HOME");
  if (state.empty()) {
    std::string home = value_of("HOME");
    if (home.empty()) return "";
    state = home + "/.local/state";
  }
  return state + "/input-agent/restore-token";
}

std::string read_token() {
  std::string path = token_file();
  int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  char text[512];
  ssize_t count = read(fd, text, sizeof text);
  close(fd);
  return count > 0 ? std::string(text, count) : "";
}

// Tokens are single-use: each Start's replaces the last, readable by this
// user alone.
void keep_token(const std::string& token) {
  std::string path = token_file();
  if (path.empty()) return;
  std::string folder = path.substr(0, path.rfind('/'));
  std::string parent = folder.substr(0, folder.rfind('/'));
  mkdir(parent.c_str(), 0700);
  mkdir(folder.c_str(), 0700);
  if (token.empty()) {
    unlink(path.c_str());
    return;
  }
  std::string written = path + ".new";
  int fd = open(written.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  bool whole = fchmod(fd, 0600) == 0 &&
               write(fd, token.data(), token.size()) == static_cast<ssize_t>(token.size());
  close(fd);
  if (whole) rename(written.c_str(), path.c_str());
}

bool asked_to_stop() {
  return stop_request() != 0;
}

struct Portal {
  const SessionBus& bus;
  std::string session;
  int tokens = 0;

  std::string next_token() {
    return "input_agent_" + std::to_string(getpid()) + "_" + std::to_string(++tokens);
  }

  // Makes a request whose answer comes as a Response signal; nothing when
  // the portal is not there or gave no answer within `patience`.
  template <typename Fill>
  std::optional<SessionBus::Response> request(const char* name, Fill fill,
                                              std::chrono::milliseconds patience) {
    std::string token = next_token();
    std::string path = std::string(kPortalPath) + "/request/" + bus.sender() + "/" + token;
    bus.watch_response(path);
    Message call = bus.method(kPortal, kPortalPath, kRemoteDesktop, name);
    fill(call.get(), token.c_str());
    if (!bus.call(call, kPortalPatience)) return std::nullopt;
    return bus.await_response(path, patience, asked_to_stop);
  }
};

EisConnection refused(std::string why) {
  return {-1, platform::Reach::kRefused, std::move(why)};
}

EisConnection through_portal(const SessionBus& bus) {
  Portal portal{bus, "", 0};
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

  std::string restore = read_token();
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
  keep_token(started->results["restore_token"]);

  Message call = bus.method(kPortal, kPortalPath, kRemoteDesktop, "ConnectToEIS");
  bus.append(call.get(), portal.session.c_str(), DBUS_TYPE_OBJECT_PATH);
  bus.append(call.get(), std::initializer_list<Option>{});
  int fd = bus.fd_in(bus.call(call, kPortalPatience));
  if (fd < 0) return refused("the portal gave no input server");
  return {fd, platform::Reach::kReady, "the RemoteDesktop portal"};
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

}  // namespace

EisConnection connect_to_eis() {
  static std::unique_ptr<SessionBus> bus;  // for the process's whole life
  bus = std::make_unique<SessionBus>();
  if (!bus->connected()) return {-1, platform::Reach::kNobody, "no session bus"};
  if (value_of("INPUT_AGENT_EIS") != "compositor") return through_portal(*bus);
  for (auto route : {through_mutter, through_kwin}) {
    EisConnection connection = route(*bus);
    if (connection.reach != platform::Reach::kNobody) return connection;
  }
  return {-1, platform::Reach::kNobody,
          "neither mutter's nor KWin's remote desktop interface answers"};
}
