// The session bus, for reaching a compositor's input server: libdbus,
// loaded when the EIS backend is tried (see platform/linux/loaders/library.h), and the
// few kinds of call that backend makes.
#pragma once

#include <dbus/dbus.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>

struct Dbus;

// One message, released when it goes.
using Message = std::unique_ptr<DBusMessage, void (*)(DBusMessage*)>;

// A member of an a{sv} dictionary of options: a string, or an unsigned
// number when `text` is null.
struct Option {
  const char* key;
  const char* text;
  uint32_t number = 0;
};

class SessionBus {
 public:
  // Connects, privately, so that what this process asks for lives as long
  // as this connection, and no longer.
  SessionBus();
  ~SessionBus();
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;

  bool connected() const { return connection_ != nullptr; }
  // The connection's name on the bus, as the portal spells it in request
  // paths ("1_42" for ":1.42").
  std::string sender() const;

  // A method call to be filled in with the appenders below, then made.
  Message method(const char* service, const char* path, const char* interface,
                 const char* name) const;
  void append(DBusMessage* message, const char* text, int type = DBUS_TYPE_STRING) const;
  void append(DBusMessage* message, int32_t number) const;
  void append(DBusMessage* message, std::initializer_list<Option> options) const;

  // The reply, or nothing (the service is not there, or refused, or took
  // longer than `patience`).
  Message call(const Message& message, std::chrono::milliseconds patience) const;

  // The unique name of the connection that sent `message` ("" for none): a
  // reply's is the service's own, which its signals come from too.
  std::string sender_of(const Message& message) const;

  // The first argument of a reply, of its kind.
  std::optional<std::string> path_in(const Message& reply) const;
  int fd_in(const Message& reply) const;  // -1 when there is none

  // Whether `text` may go in a message as a string, or as an object path;
  // libdbus ends the process on one that may not.
  bool valid_text(const std::string& text) const;
  bool valid_path(const std::string& text) const;

  // Waits for the portal's Response signal on `request_path` from `sender`
  // (the portal's unique name: anyone on the bus can send a signal), within
  // `patience`, or until `stop` says so; its response code (0 granted) and
  // the members of its results that are strings or object paths. Nothing
  // when none came; a Response whose arguments are of other types counts as
  // a refusal (code 2).
  struct Response {
    uint32_t code;
    std::map<std::string, std::string> results;
  };
  std::optional<Response> await_response(const std::string& request_path, const std::string& sender,
                                         std::chrono::milliseconds patience, bool (*stop)()) const;
  // Asks the bus to pass on the signals `rule` matches (a D-Bus match rule);
  // before what makes them is asked for, so that none is missed.
  void watch_signals(const std::string& rule) const;

  // For the thread that watches the session once the agent runs, which then
  // has this connection to itself: its descriptor, and whether a signal
  // `interface`.`member` on `path` from `sender` has come since the last
  // look. False too when the connection has closed, which still_connected()
  // then says.
  int fd() const;
  bool signal_came(const char* interface, const char* member, const std::string& path,
                   const std::string& sender) const;
  bool still_connected() const;

 private:
  const Dbus* dbus_;
  DBusConnection* connection_ = nullptr;
};
