// A stand-in for the desktop's RemoteDesktop portal, for the tests: it
// answers on the session bus as org.freedesktop.portal.Desktop, says on
// standard output what each request asked for, answers Start as told (the
// person grants it, or refuses), and hands out the compositor's input
// server for ConnectToEIS through its own interface (mutter's or KWin's), as
// the desktops' portals do.
//
//   fake_portal grant|refuse
#include <dbus/dbus.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

DBusConnection* bus;
std::string answer;
int granted = 0;

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

void respond(const std::string& path, uint32_t code,
             const std::map<std::string, std::string>& results) {
  DBusMessage* signal =
      dbus_message_new_signal(path.c_str(), "org.freedesktop.portal.Request", "Response");
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
  dbus_connection_send(bus, signal, nullptr);
  dbus_message_unref(signal);
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
  int32_t cookie;
  if (reply) {
    dbus_message_get_args(reply, &error, DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INT32, &cookie,
                          DBUS_TYPE_INVALID);
    dbus_message_unref(reply);
  }
  return fd;
}

void handle(DBusMessage* call) {
  const char* method = dbus_message_get_member(call);
  DBusMessageIter arguments;
  dbus_message_iter_init(call, &arguments);
  if (strcmp(method, "ConnectToEIS") == 0) {
    say("ConnectToEIS");
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
    respond(path, 0, {{"session_handle", "/org/freedesktop/portal/desktop/session/1_1/agent"}});
  } else if (strcmp(method, "SelectDevices") == 0) {
    say("SelectDevices types " + options["types"] + " persist_mode " + options["persist_mode"] +
        " restore_token " + (options.count("restore_token") ? options["restore_token"] : "none"));
    respond(path, 0, {});
  } else if (strcmp(method, "Start") == 0) {
    say("Start");
    if (answer == "grant") {
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
  while (dbus_connection_read_write(bus, -1)) {
    while (DBusMessage* message = dbus_connection_pop_message(bus)) {
      if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_CALL &&
          dbus_message_has_interface(message, "org.freedesktop.portal.RemoteDesktop")) {
        handle(message);
      }
      dbus_message_unref(message);
    }
  }
  return 0;
}
