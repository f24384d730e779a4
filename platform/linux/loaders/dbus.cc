#include "platform/linux/loaders/dbus.h"

#include <optional>

#include "platform/linux/loaders/library.h"

struct Dbus {
  decltype(&dbus_error_init) error_init;
  decltype(&dbus_error_free) error_free;
  decltype(&dbus_bus_get_private) bus_get_private;
  decltype(&dbus_bus_get_unique_name) bus_get_unique_name;
  decltype(&dbus_bus_add_match) bus_add_match;
  decltype(&dbus_connection_set_exit_on_disconnect) connection_set_exit_on_disconnect;
  decltype(&dbus_connection_close) connection_close;
  decltype(&dbus_connection_unref) connection_unref;
  decltype(&dbus_connection_send_with_reply_and_block) connection_send_with_reply_and_block;
  decltype(&dbus_connection_read_write) connection_read_write;
  decltype(&dbus_connection_pop_message) connection_pop_message;
  decltype(&dbus_connection_get_unix_fd) connection_get_unix_fd;
  decltype(&dbus_connection_get_is_connected) connection_get_is_connected;
  decltype(&dbus_message_new_method_call) message_new_method_call;
  decltype(&dbus_message_unref) message_unref;
  decltype(&dbus_message_is_signal) message_is_signal;
  decltype(&dbus_message_get_path) message_get_path;
  decltype(&dbus_message_get_sender) message_get_sender;
  decltype(&dbus_validate_path) validate_path;
  decltype(&dbus_validate_utf8) validate_utf8;
  decltype(&dbus_message_iter_init) message_iter_init;
  decltype(&dbus_message_iter_init_append) message_iter_init_append;
  decltype(&dbus_message_iter_append_basic) message_iter_append_basic;
  decltype(&dbus_message_iter_open_container) message_iter_open_container;
  decltype(&dbus_message_iter_close_container) message_iter_close_container;
  decltype(&dbus_message_iter_get_arg_type) message_iter_get_arg_type;
  decltype(&dbus_message_iter_get_basic) message_iter_get_basic;
  decltype(&dbus_message_iter_next) message_iter_next;
  decltype(&dbus_message_iter_recurse) message_iter_recurse;
  decltype(&dbus_message_iter_get_element_type) message_iter_get_element_type;
};

namespace {

std::optional<Dbus> load() {
  Library library("libdbus-1.so.3");
  Dbus d;
  library.find(d.error_init, "dbus_error_init");
  library.find(d.error_free, "dbus_error_free");
  library.find(d.bus_get_private, "dbus_bus_get_private");
  library.find(d.bus_get_unique_name, "dbus_bus_get_unique_name");
  library.find(d.bus_add_match, "dbus_bus_add_match");
  library.find(d.connection_set_exit_on_disconnect, "dbus_connection_set_exit_on_disconnect");
  library.find(d.connection_close, "dbus_connection_close");
  library.find(d.connection_unref, "dbus_connection_unref");
  library.find(d.connection_send_with_reply_and_block, "dbus_connection_send_with_reply_and_block");
  library.find(d.connection_read_write, "dbus_connection_read_write");
  library.find(d.connection_pop_message, "dbus_connection_pop_message");
  library.find(d.connection_get_unix_fd, "dbus_connection_get_unix_fd");
  library.find(d.connection_get_is_connected, "dbus_connection_get_is_connected");
  library.find(d.message_new_method_call, "dbus_message_new_method_call");
  library.find(d.message_unref, "dbus_message_unref");
  library.find(d.message_is_signal, "dbus_message_is_signal");
  library.find(d.message_get_path, "dbus_message_get_path");
  library.find(d.message_get_sender, "dbus_message_get_sender");
  library.find(d.validate_path, "dbus_validate_path");
  library.find(d.validate_utf8, "dbus_validate_utf8");
  library.find(d.message_iter_init, "dbus_message_iter_init");
  library.find(d.message_iter_init_append, "dbus_message_iter_init_append");
  library.find(d.message_iter_append_basic, "dbus_message_iter_append_basic");
  library.find(d.message_iter_open_container, "dbus_message_iter_open_container");
  library.find(d.message_iter_close_container, "dbus_message_iter_close_container");
  library.find(d.message_iter_get_arg_type, "dbus_message_iter_get_arg_type");
  library.find(d.message_iter_get_basic, "dbus_message_iter_get_basic");
  library.find(d.message_iter_next, "dbus_message_iter_next");
  library.find(d.message_iter_recurse, "dbus_message_iter_recurse");
  library.find(d.message_iter_get_element_type, "dbus_message_iter_get_element_type");
  if (!library.complete()) return std::nullopt;
  return d;
}

const Dbus* loaded_dbus() {
  static const std::optional<Dbus> loaded = load();
  return loaded ? &*loaded : nullptr;
}

// Messages are released through the loaded library; a deleter needs a
// plain function.
void release_message(DBusMessage* message) {
  if (message) loaded_dbus()->message_unref(message);
}

Message own(DBusMessage* message) {
  return Message(message, release_message);
}

}  // namespace

SessionBus::SessionBus() : dbus_(loaded_dbus()) {
  if (!dbus_) return;
  DBusError error;
  dbus_->error_init(&error);
  connection_ = dbus_->bus_get_private(DBUS_BUS_SESSION, &error);
  dbus_->error_free(&error);
  if (connection_) dbus_->connection_set_exit_on_disconnect(connection_, false);
}

SessionBus::~SessionBus() {
  if (!connection_) return;
  dbus_->connection_close(connection_);
  dbus_->connection_unref(connection_);
}

std::string SessionBus::sender() const {
  std::string name = dbus_->bus_get_unique_name(connection_);
  if (!name.empty() && name[0] == ':') name.erase(0, 1);
  for (char& c : name) {
    if (c == '.') c = '_';
  }
  return name;
}

Message SessionBus::method(const char* service, const char* path, const char* interface,
                           const char* name) const {
  return own(dbus_->message_new_method_call(service, path, interface, name));
}

void SessionBus::append(DBusMessage* message, const char* text, int type) const {
  DBusMessageIter arguments;
  dbus_->message_iter_init_append(message, &arguments);
  dbus_->message_iter_append_basic(&arguments, type, &text);
}

void SessionBus::append(DBusMessage* message, int32_t number) const {
  DBusMessageIter arguments;
  dbus_->message_iter_init_append(message, &arguments);
  dbus_->message_iter_append_basic(&arguments, DBUS_TYPE_INT32, &number);
}

void SessionBus::append(DBusMessage* message, std::initializer_list<Option> options) const {
  DBusMessageIter arguments, dictionary;
  dbus_->message_iter_init_append(message, &arguments);
  dbus_->message_iter_open_container(&arguments, DBUS_TYPE_ARRAY, "{sv}", &dictionary);
  for (const Option& option : options) {
    DBusMessageIter entry, variant;
    dbus_->message_iter_open_container(&dictionary, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_->message_iter_append_basic(&entry, DBUS_TYPE_STRING, &option.key);
    if (option.text) {
      dbus_->message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "s", &variant);
      dbus_->message_iter_append_basic(&variant, DBUS_TYPE_STRING, &option.text);
    } else {
      dbus_->message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "u", &variant);
      dbus_->message_iter_append_basic(&variant, DBUS_TYPE_UINT32, &option.number);
    }
    dbus_->message_iter_close_container(&entry, &variant);
    dbus_->message_iter_close_container(&dictionary, &entry);
  }
  dbus_->message_iter_close_container(&arguments, &dictionary);
}

Message SessionBus::call(const Message& message, std::chrono::milliseconds patience) const {
  if (!connection_ || !message) return own(nullptr);
  DBusError error;
  dbus_->error_init(&error);
  DBusMessage* reply = dbus_->connection_send_with_reply_and_block(
      connection_, message.get(), static_cast<int>(patience.count()), &error);
  dbus_->error_free(&error);
  return own(reply);
}

std::optional<std::string> SessionBus::path_in(const Message& reply) const {
  DBusMessageIter arguments;
  if (!reply || !dbus_->message_iter_init(reply.get(), &arguments) ||
      dbus_->message_iter_get_arg_type(&arguments) != DBUS_TYPE_OBJECT_PATH) {
    return std::nullopt;
  }
  const char* path = nullptr;
  dbus_->message_iter_get_basic(&arguments, &path);
  return std::string(path);
}

int SessionBus::fd_in(const Message& reply) const {
  DBusMessageIter arguments;
  if (!reply || !dbus_->message_iter_init(reply.get(), &arguments) ||
      dbus_->message_iter_get_arg_type(&arguments) != DBUS_TYPE_UNIX_FD) {
    return -1;
  }
  int fd = -1;
  dbus_->message_iter_get_basic(&arguments, &fd);
  return fd;
}

std::string SessionBus::sender_of(const Message& message) const {
  const char* sender = message ? dbus_->message_get_sender(message.get()) : nullptr;
  return sender ? sender : "";
}

bool SessionBus::valid_text(const std::string& text) const {
  return text.find('\0') == std::string::npos && dbus_->validate_utf8(text.c_str(), nullptr);
}

bool SessionBus::valid_path(const std::string& text) const {
  return text.find('\0') == std::string::npos && dbus_->validate_path(text.c_str(), nullptr);
}

void SessionBus::watch_signals(const std::string& rule) const {
  dbus_->bus_add_match(connection_, rule.c_str(), nullptr);
}

namespace {

// The members of an a{sv} whose values are strings or object paths; other
// members, and entries whose key is not a string, are passed over.
std::map<std::string, std::string> text_members(const Dbus& d, DBusMessageIter* dictionary) {
  std::map<std::string, std::string> members;
  for (; d.message_iter_get_arg_type(dictionary) == DBUS_TYPE_DICT_ENTRY;
       d.message_iter_next(dictionary)) {
    DBusMessageIter entry, value;
    d.message_iter_recurse(dictionary, &entry);
    if (d.message_iter_get_arg_type(&entry) != DBUS_TYPE_STRING) continue;
    const char* key = nullptr;
    d.message_iter_get_basic(&entry, &key);
    d.message_iter_next(&entry);
    if (d.message_iter_get_arg_type(&entry) != DBUS_TYPE_VARIANT) continue;
    d.message_iter_recurse(&entry, &value);
    int type = d.message_iter_get_arg_type(&value);
    if (type != DBUS_TYPE_STRING && type != DBUS_TYPE_OBJECT_PATH) continue;
    const char* text = nullptr;
    d.message_iter_get_basic(&value, &text);
    members[key] = text;
  }
  return members;
}

// A Response's arguments, (u a{sv}); one of other types counts as the
// portal's refusal (2: ended otherwise).
SessionBus::Response read_response(const Dbus& d, DBusMessage* message) {
  const SessionBus::Response kMalformed{2, {}};
  DBusMessageIter arguments, results;
  if (!d.message_iter_init(message, &arguments) ||
      d.message_iter_get_arg_type(&arguments) != DBUS_TYPE_UINT32) {
    return kMalformed;
  }
  uint32_t code = 0;
  d.message_iter_get_basic(&arguments, &code);
  d.message_iter_next(&arguments);
  if (d.message_iter_get_arg_type(&arguments) != DBUS_TYPE_ARRAY ||
      d.message_iter_get_element_type(&arguments) != DBUS_TYPE_DICT_ENTRY) {
    return kMalformed;
  }
  d.message_iter_recurse(&arguments, &results);
  return {code, text_members(d, &results)};
}

bool is_signal_from(const Dbus& d, DBusMessage* message, const char* interface, const char* member,
                    const std::string& path, const std::string& sender) {
  const char* from = d.message_get_sender(message);
  const char* on = d.message_get_path(message);
  return d.message_is_signal(message, interface, member) && from && sender == from && on &&
         path == on;
}

}  // namespace

std::optional<SessionBus::Response> SessionBus::await_response(const std::string& request_path,
                                                               const std::string& sender,
                                                               std::chrono::milliseconds patience,
                                                               bool (*stop)()) const {
  auto deadline = std::chrono::steady_clock::now() + patience;
  while (std::chrono::steady_clock::now() < deadline && !stop()) {
    // In slices, so that a stop request is seen soon.
    if (!dbus_->connection_read_write(connection_, 100)) return std::nullopt;
    while (Message message = own(dbus_->connection_pop_message(connection_))) {
      if (is_signal_from(*dbus_, message.get(), "org.freedesktop.portal.Request", "Response",
                         request_path, sender)) {
        return read_response(*dbus_, message.get());
      }
    }
  }
  return std::nullopt;
}

int SessionBus::fd() const {
  int fd = -1;
  if (!connection_ || !dbus_->connection_get_unix_fd(connection_, &fd)) return -1;
  return fd;
}

bool SessionBus::signal_came(const char* interface, const char* member, const std::string& path,
                             const std::string& sender) const {
  bool came = false;
  if (!dbus_->connection_read_write(connection_, 0)) return false;
  while (Message message = own(dbus_->connection_pop_message(connection_))) {
    came = came || is_signal_from(*dbus_, message.get(), interface, member, path, sender);
  }
  return came;
}

bool SessionBus::still_connected() const {
  return dbus_->connection_get_is_connected(connection_);
}
