// The tests' Wayland recorder client (wayland_recorder.cc) as a process of
// the test's: its lines, read in large pieces so that it never waits for the
// test, and a marker move that tells where a batch of commands ends.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "desktop_commands.h"

struct Rect {
  int x, y, width, height;
};

// Where the agent puts fraction (x, y) of `area`.
std::pair<int, int> pixel(Rect area, double x, double y);

class WaylandRecording {
 public:
  // Starts the recorder and waits until it is on screen.
  bool start(const std::string& path, const std::vector<std::string>& variables,
             const std::vector<std::string>& unset);
  void stop();

  // Sends the recorder a line of its input ("lock", "unlock").
  void tell(const std::string& line);

  // The next line; nothing when the recorder has said nothing for
  // `patience`, or has ended.
  std::optional<std::string> line(std::chrono::milliseconds patience = std::chrono::seconds(20));

  // The lines until one that starts with `last` (which is left out), or all
  // it said with a note that `last` never came.
  Seen until(const std::string& last,
             std::chrono::milliseconds patience = std::chrono::seconds(20));

  // Sends `commands` to `agent`, then a move to a marker spot, and returns
  // what the recorder saw before the marker arrived. The marker alternates
  // between two spots so that it always moves the pointer.
  Seen observe(const Child& agent, const std::string& commands, Rect area);

 private:
  Child recorder_;
  std::string buffered_;            // read, not yet taken as lines
  std::vector<std::string> early_;  // said before "ready", not yet taken
  int markers_ = 0;
};

// The recorder's line for relative motion by `delta` ("30,-20"): compositors
// accelerate only libinput's devices, so the accelerated deltas are the
// unaccelerated ones a game reads, and both must be exactly those sent.
std::string relative(const std::string& delta, const std::string& held = "");

// The sum of the unaccelerated deltas of the recorder's relative lines.
std::pair<double, double> unaccelerated_total(const Seen& seen);
