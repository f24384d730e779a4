#include "wayland_recording.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

std::pair<int, int> pixel(Rect area, double x, double y) {
  return {static_cast<int>(std::lround(area.x + x * (area.width - 1))),
          static_cast<int>(std::lround(area.y + y * (area.height - 1)))};
}

bool WaylandRecording::start(const std::string& path, const std::vector<std::string>& variables,
                             const std::vector<std::string>& unset) {
  recorder_ = start_child(path, {}, variables, unset);
  buffered_.clear();
  early_.clear();
  // The pointer may come into a window before all are on screen; what it
  // says then is still to be read.
  std::vector<std::string> before;
  while (std::optional<std::string> next = line()) {
    if (*next == "ready") {
      early_ = std::move(before);
      return true;
    }
    before.push_back(*next);
  }
  return false;
}

void WaylandRecording::stop() {
  kill(recorder_.pid, SIGTERM);
  wait_for_end(recorder_);
  close_pipes(recorder_);
}

void WaylandRecording::tell(const std::string& line) {
  send(recorder_, line + "\n");
}

std::optional<std::string> WaylandRecording::line(std::chrono::milliseconds patience) {
  if (!early_.empty()) {
    std::string first = early_.front();
    early_.erase(early_.begin());
    return first;
  }
  for (;;) {
    if (size_t end = buffered_.find('\n'); end != std::string::npos) {
      std::string line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return line;
    }
    pollfd readable{recorder_.output, POLLIN, 0};
    char piece[65536];
    ssize_t count = poll(&readable, 1, static_cast<int>(patience.count())) == 1
                        ? read(recorder_.output, piece, sizeof piece)
                        : 0;
    if (count <= 0) return std::nullopt;
    buffered_.append(piece, count);
  }
}

Seen WaylandRecording::until(const std::string& last, std::chrono::milliseconds patience) {
  Seen seen;
  while (std::optional<std::string> next = line(patience)) {
    if (*next == last || next->starts_with(last + " ")) return seen;
    seen.push_back(*next);
  }
  seen.push_back("(never saw: " + last + ")");
  return seen;
}

Seen WaylandRecording::observe(const Child& agent, const std::string& commands, Rect area) {
  double marker_x = (markers_++ % 2) ? 0.37 : 0.63;
  send(agent, commands + move(marker_x, 0.77));
  auto [x, y] = pixel(area, marker_x, 0.77);
  return until("move " + std::to_string(x) + "," + std::to_string(y));
}

std::string relative(const std::string& delta, const std::string& held) {
  return "relative " + delta + " unaccelerated " + delta + held;
}

std::pair<double, double> unaccelerated_total(const Seen& seen) {
  std::pair<double, double> total{0, 0};
  for (const std::string& line : seen) {
    double x = 0, y = 0;
    if (sscanf(line.c_str(), "relative %*g,%*g unaccelerated %lg,%lg", &x, &y) != 2) continue;
    total.first += x;
    total.second += y;
  }
  return total;
}
