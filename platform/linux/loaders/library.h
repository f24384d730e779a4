// A shared library that a backend loads when it is tried, rather than the
// executable needing it to start: the one Linux executable runs where the
// library is missing, and a backend that needs it reports that it cannot be
// used. Loaded libraries stay for the life of the process.
#pragma once

#include <dlfcn.h>

class Library {
 public:
  explicit Library(const char* file) : handle_(dlopen(file, RTLD_NOW | RTLD_LOCAL)) {}

  // Sets `function` to the library's `name`; a missing one makes the whole
  // library incomplete.
  template <typename Function>
  void find(Function& function, const char* name) {
    function = handle_ ? reinterpret_cast<Function>(dlsym(handle_, name)) : nullptr;
    complete_ = complete_ && function;
  }

  // Whether it loaded and every function asked for was found.
  bool complete() const { return handle_ && complete_; }

 private:
  void* handle_;
  bool complete_ = true;
};
