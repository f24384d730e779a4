// A stand-in for the desktop's RemoteDesktop portal, for the tests: it
// answers on the session bus as org.freedesktop.portal.Desktop, says on
// standard output what each request asked for, answers as told, and hands
// out the compositor's input server for ConnectToEIS through its own
// interface (mutter's or KWin's), as the desktops' portals do.
//
//   fake_portal ANSWER
//     grant               the person allows it; each Start gives a new token
//     refuse              the person does not
//     grant-without-eis   allowed, but ConnectToEIS fails
//     impostor            another connection on the bus answers Start first,
//                         granting it, in a signal sent to the agent alone
//                         (which no match rule keeps out); the portal then
//                         refuses
//     no-handle           CreateSession's results lack session_handle
//     handle-not-a-path   its session_handle is no object path
//     handle-a-number     its session_handle is a number
//     keys-not-strings    its results are keyed by numbers
//     other-arguments     its Response carries (s) instead of (u a{sv})
//
// Once it has handed out an input server, lines on its standard input end
// the session: "end" has the compositor end it (mutter's session stopped,
// KWin's client disconnected), "close" sends the portal's Closed signal;
// "forge-close" has another connection send the agent a Closed signal.
#include <dbus/dbus.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

DBusConnection* bus;
std::string answer;
int granted = 0;
const char kSession[] = "/org/freedesktop/portal/desktop/session/1_1/agent";
// The unique name of the last caller: the agent.
std::string caller;
// The compositor session that ConnectToEIS made: mutter's, or KWin's cookie.
std::string mutter_session;
int32_t kwin_cookie = 0;

// The a{sv} argument after `arguments`' current one: strings and unsigned
// numbers, as text.
std::map<std::string, std::string> options_of(DBusMessageIter* arguments) {
  std::map<std::string, std::string> options;
  DBusMessageIter dictionary;
  dbus_message_iter_recurse(arguments, &dictionary);
  for (; dbus_message_iter_get_arg_type(&dictionary) == DBUS_TYPE_DICT_ENTRY;
       dbus_message_iter_next(&dictionary)) {
    DBusMessageIter entry, value;
    const char* key;
    dbus_message_iter_recurse(&dictionary, &entry);
    dbus_message_iter_get_basic(&entry, &key);
    dbus_message_iter_next(&entry);
    dbus_message_iter_recurse(&entry, &value);
    if (dbus_message_iter_get_arg_type(&value) == DBUS_TYPE_STRING) {
      const char* text;
      dbus_message_iter_get_basic(&value, &text);
      options[key] = text;
    } else if (dbus_message_iter_get_arg_type(&value) == DBUS_TYPE_UINT32) {
      uint32_t number;
      dbus_message_iter_get_basic(&value, &number);
      options[key] = std::to_string(number);
    }
  }
  return options;
}

void say(const std::string& line) {
  printf("%s\n", line.c_str());
  fflush(stdout);
}

// The request object path for the caller's handle token, as the portal
// makes it.
std::string request_path(DBusMessage* call, const std::string& token) {
  std::string sender = dbus_message_get_sender(call) + 1;
  for (char& c : sender) {
    if (c == '.') c = '_';
  }
  return "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
}

void reply_with_path(DBusMessage* call, const std::string& path) {
  DBusMessage* reply = dbus_message_new_method_return(call);
  const char* text = path.c_str();
  dbus_message_append_args(reply, DBUS_TYPE_OBJECT_PATH, &text, DBUS_TYPE_INVALID);
  dbus_connection_send(bus, reply, nullptr);
  dbus_message_unref(reply);
}

// Another connection on the bus, as any program of the session can make.
DBusConnection* impostor() {
  DBusError error;
  dbus_error_init(&error);
  return dbus_bus_get_private(DBUS_BUS_SESSION, &error);
}

void send_and_close(DBusConnection* connection, DBusMessage* message) {
  dbus_connection_send(connection, message, nullptr);
  dbus_connection_flush(connection);
  dbus_message_unref(message);
  if (connection != bus) {
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
  }
}

void respond(const std::string& path, uint32_t code,
             const std::map<std::string, std::string>& results, DBusConnection* from = bus) {
  DBusMessage* signal =
      dbus_message_new_signal(path.c_str(), "org.freedesktop.portal.Request", "Response");
  if (from != bus) dbus_message_set_destination(signal, caller.c_str());
  DBusMessageIter arguments, dictionary;
  dbus_message_iter_init_append(signal, &arguments);
  dbus_message_iter_append_basic(&arguments, DBUS_TYPE_UINT32, &code);
  dbus_message_iter_open_container(&arguments, DBUS_TYPE_ARRAY, "{sv}", &dictionary);
  for (const auto& [key, value] : results) {
    DBusMessageIter entry, variant;
    const char* name = key.c_str();
    const char* text = value.c_str();
    dbus_message_iter_open_container(&dictionary, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &name);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "s", &variant);
    dbus_message_iter_append_basic(&variant, DBUS_TYPE_STRING, &text);
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(&dictionary, &entry);
  }
  dbus_message_iter_close_container(&arguments, &dictionary);
  send_and_close(from, signal);
}

// A CreateSession answer of code 0 whose results are not what the portal
// documents, as `answer` says.
void respond_malformed(const std::string& path) {
  DBusMessage* signal =
      dbus_message_new_signal(path.c_str(), "org.freedesktop.portal.Request", "Response");
  DBusMessageIter arguments, dictionary, entry, variant;
  dbus_message_iter_init_append(signal, &arguments);
  uint32_t code = 0;
  if (answer == "other-arguments") {
    const char* text = kSession;
    dbus_message_iter_append_basic(&arguments, DBUS_TYPE_STRING, &text);
  } else {
    dbus_message_iter_append_basic(&arguments, DBUS_TYPE_UINT32, &code);
    bool numbered = answer == "keys-not-strings";
    dbus_message_iter_open_container(&arguments, DBUS_TYPE_ARRAY, numbered ? "{iv}" : "{sv}",
                                     &dictionary);
    dbus_message_iter_open_container(&dictionary, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    const char* key = "session_handle";
    int32_t number_key = 1;
    if (numbered) {
      dbus_message_iter_append_basic(&entry, DBUS_TYPE_INT32, &number_key);
    } else {
      dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
    }
    if (answer == "handle-a-number") {
      uint32_t number = 7;
      dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "u", &variant);
      dbus_message_iter_append_basic(&variant, DBUS_TYPE_UINT32, &number);
    } else {
      const char* handle = answer == "handle-not-a-path" ? "not a path" : kSession;
      dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "s", &variant);
      dbus_message_iter_append_basic(&variant, DBUS_TYPE_STRING, &handle);
    }
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(&dictionary, &entry);
    dbus_message_iter_close_container(&arguments, &dictionary);
  }
  dbus_connection_send(bus, signal, nullptr);
  dbus_message_unref(signal);
}

// Has the compositor end the session it made for ConnectToEIS.
void end_compositor_session() {
  DBusMessage* call =
      mutter_session.empty()
          ? dbus_message_new_method_call("org.kde.KWin", "/org/kde/KWin/EIS/RemoteDesktop",
                                         "org.kde.KWin.EIS.RemoteDesktop", "disconnect")
          : dbus_message_new_method_call("org.gnome.Mutter.RemoteDesktop", mutter_session.c_str(),
                                         "org.gnome.Mutter.RemoteDesktop.Session", "Stop");
  if (mutter_session.empty()) {
    dbus_message_append_args(call, DBUS_TYPE_INT32, &kwin_cookie, DBUS_TYPE_INVALID);
  }
  DBusError error;
  dbus_error_init(&error);
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, 5000, &error);
  dbus_message_unref(call);
  say(reply ? "ended" : std::string("could not end: ") + error.message);
  if (reply) dbus_message_unref(reply);
  dbus_error_free(&error);
}

// The session's Closed signal, from the portal or (sent to the agent alone)
// from another connection.
void send_closed(DBusConnection* from) {
  DBusMessage* signal =
      dbus_message_new_signal(kSession, "org.freedesktop.portal.Session", "Closed");
  if (from != bus) dbus_message_set_destination(signal, caller.c_str());
  DBusMessageIter arguments, dictionary;
  dbus_message_iter_init_append(signal, &arguments);
  dbus_message_iter_open_container(&arguments, DBUS_TYPE_ARRAY, "{sv}", &dictionary);
  dbus_message_iter_close_container(&arguments, &dictionary);
  send_and_close(from, signal);
  say("closed");
}

// mutter's input server, through a remote desktop session of this
// process's own, which lives as long as it does.
int mutter_eis() {
  DBusError error;
  dbus_error_init(&error);
  DBusMessage* call = dbus_message_new_method_call(
      "org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
      "org.gnome.Mutter.RemoteDesktop", "CreateSession");
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, 5000, &error);
  dbus_message_unref(call);
  if (!reply) return -1;
  const char* session;
  dbus_message_get_args(reply, &error, DBUS_TYPE_OBJECT_PATH, &session, DBUS_TYPE_INVALID);
  std::string path = session;
  mutter_session = path;
  dbus_message_unref(reply);
  call = dbus_message_new_method_call("org.gnome.Mutter.RemoteDesktop", path.c_str(),
                                      "org.gnome.Mutter.RemoteDesktop.Session", "ConnectToEIS");
  DBusMessageIter arguments, dictionary;
  dbus_message_iter_init_append(call, &arguments);
  dbus_message_iter_open_container(&arguments, DBUS_TYPE_ARRAY, "{sv}", &dictionary);
  dbus_message_iter_close_container(&arguments, &dictionary);
  reply = dbus_connection_send_with_reply_and_block(bus, call, 5000, &error);
  dbus_message_unref(call);
  int fd = -1;
  if (reply) dbus_message_get_args(reply, &error, DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INVALID);
  if (reply) dbus_message_unref(reply);
  call = dbus_message_new_method_call("org.gnome.Mutter.RemoteDesktop", path.c_str(),
                                      "org.gnome.Mutter.RemoteDesktop.Session", "Start");
  reply = dbus_connection_send_with_reply_and_block(bus, call, 5000, &error);
  dbus_message_unref(call);
  if (reply) dbus_message_unref(reply);
  return fd;
}

// KWin's input server, through its own interface.
int kwin_eis() {
  DBusError error;
  dbus_error_init(&error);
  DBusMessage* call =
      dbus_message_new_method_call("org.kde.KWin", "/org/kde/KWin/EIS/RemoteDesktop",
                                   "org.kde.KWin.EIS.RemoteDesktop", "connectToEIS");
  int32_t keyboard_and_pointer = 3;
  dbus_message_append_args(call, DBUS_TYPE_INT32, &keyboard_and_pointer, DBUS_TYPE_INVALID);
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, 5000, &error);
  dbus_message_unref(call);
  int fd = -1;
  if (reply) {
    dbus_message_get_args(reply, &error, DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INT32, &kwin_cookie,
                          DBUS_TYPE_INVALID);
    dbus_message_unref(reply);
  }
  return fd;
}

void handle(DBusMessage* call) {
  caller = dbus_message_get_sender(call);
  const char* method = dbus_message_get_member(call);
  DBusMessageIter arguments;
  dbus_message_iter_init(call, &arguments);
  if (strcmp(method, "ConnectToEIS") == 0) {
    say("ConnectToEIS");
    if (answer == "grant-without-eis") {
      DBusMessage* reply =
          dbus_message_new_error(call, "org.freedesktop.portal.Error.Failed", "no input server");
      dbus_connection_send(bus, reply, nullptr);
      dbus_message_unref(reply);
      return;
    }
    int fd = mutter_eis();
    if (fd < 0) fd = kwin_eis();
    DBusMessage* reply = dbus_message_new_method_return(call);
    dbus_message_append_args(reply, DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INVALID);
    dbus_connection_send(bus, reply, nullptr);
    dbus_message_unref(reply);
    return;
  }
  if (strcmp(method, "CreateSession") != 0) dbus_message_iter_next(&arguments);  // the session
  if (strcmp(method, "Start") == 0) dbus_message_iter_next(&arguments);          // the window
  std::map<std::string, std::string> options = options_of(&arguments);
  std::string path = request_path(call, options["handle_token"]);
  reply_with_path(call, path);
  if (strcmp(method, "CreateSession") == 0) {
    say("CreateSession");
    if (answer == "no-handle") {
      respond(path, 0, {});
    } else if (answer.starts_with("handle-") || answer == "keys-not-strings" ||
               answer == "other-arguments") {
      respond_malformed(path);
    } else {
      respond(path, 0, {{"session_handle", kSession}});
    }
  } else if (strcmp(method, "SelectDevices") == 0) {
    say("SelectDevices types " + options["types"] + " persist_mode " + options["persist_mode"] +
        " restore_token " + (options.count("restore_token") ? options["restore_token"] : "none"));
    respond(path, 0, {});
  } else if (strcmp(method, "Start") == 0) {
    say("Start");
    if (answer == "impostor") {
      respond(path, 0, {{"restore_token", "impostor"}}, impostor());
      usleep(200 * 1000);
    }
    if (answer.starts_with("grant")) {
      respond(path, 0, {{"restore_token", "token-" + std::to_string(++granted)}});
    } else {
      respond(path, 1, {});
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  answer = argv[1];
  DBusError error;
  dbus_error_init(&error);
  bus = dbus_bus_get(DBUS_BUS_SESSION, &error);
  if (!bus ||
      dbus_bus_request_name(bus, "org.freedesktop.portal.Desktop", DBUS_NAME_FLAG_DO_NOT_QUEUE,
                            &error) != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
    return 1;
  }
  say("ready");
  int bus_fd = -1;
  dbus_connection_get_unix_fd(bus, &bus_fd);
  pollfd watched[] = {{bus_fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  std::string line;
  // What arrived while a call waited for its reply is queued already, so
  // the queue is emptied before each wait.
  while (dbus_connection_read_write(bus, 0)) {
    while (DBusMessage* message = dbus_connection_pop_message(bus)) {
      if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_CALL &&
          dbus_message_has_interface(message, "org.freedesktop.portal.RemoteDesktop")) {
        handle(message);
      }
      dbus_message_unref(message);
    }
    if (poll(watched, 2, -1) < 0) break;
    if (!watched[1].revents) continue;
    char c;
    if (read(STDIN_FILENO, &c, 1) != 1) {
      watched[1].fd = -1;
    } else if (c != '\n') {
      line += c;
    } else {
      if (line == "end") end_compositor_session();
      if (line == "close") send_closed(bus);
      if (line == "forge-close") send_closed(impostor());
      line.clear();
    }
  }
  return 0;
}
