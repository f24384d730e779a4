#include "app/agent.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>

#include "app/dispatch.h"
#include "app/display_list.h"
#include "app/framing.h"
#include "app/process.h"
#include "input/release.h"
#include "keymap/keys.h"
#include "platform/platform.h"
#include "platform/verbose.h"

namespace {

// A display server that does not answer (stopped, say) keeps the listing no
// longer than this: it then ends with no lines, status 0, as where none
// answers at all.
constexpr std::chrono::seconds kListingBound{2};

// Lists the displays, or ends the process with none listed once the bound
// has passed; whichever comes first, so no line is cut short.
void list_displays(FILE* output) {
  auto decided = std::make_shared<std::atomic<bool>>(false);
  std::thread([decided] {
    std::this_thread::sleep_for(kListingBound);
    if (!decided->exchange(true)) std::_Exit(kEndOfInput);
  }).detach();
  std::vector<platform::Display> displays = platform::displays();
  if (!decided->exchange(true)) write_displays(displays, output);
}

bool requested(const char* option, int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], option) == 0) return true;
  }
  return false;
}

// False once the session has ended, which ends input: the lines already
// read are not handled.
bool handle(std::string_view line) {
  dispatch_line(line);
  return platform::flush() && !session_ended();
}

// A stop request stops at the command in hand: the lines read after it are
// not handled, so the releases come within the stop's bound however many
// lines were read.
bool handle_lines(LineReader& reader, std::string_view bytes) {
  while (!stop_request()) {
    std::optional<std::string_view> line = next_line(reader, bytes);
    if (!line) break;
    if (!handle(*line)) return false;
  }
  return true;
}

// Lets go of everything held, and has it all reach the system.
bool let_go() {
  release();
  bool platform_there = platform::flush();
  platform::finish();
  return platform_there;
}

// What ended the session, where it was that and not the input or a stop
// request that ended the loop; nullptr otherwise.
const char* run_command_loop(int input) {
  LineReader reader;
  // Lines are decoded where they lie in this buffer, so it has the decoder's
  // padding after the bytes read into it.
  char buffer[64 * 1024 + kLinePadding] = {};
  bool platform_there = true;
  while (platform_there) {
    if (std::optional<std::chrono::milliseconds> bound = platform::idle_bound();
        bound && (bound->count() <= 0 || !input_within(input, *bound))) {
      platform::on_idle();
      platform_there = platform::flush();
      if (!platform_there) break;
    }
    size_t count = read_input(input, buffer, sizeof buffer - kLinePadding);
    if (count == 0) break;
    platform::on_input();
    platform_there = handle_lines(reader, std::string_view(buffer, count));
  }
  stop_watching_session();
  if (platform_there && !session_ended() && !stop_request()) {
    if (std::optional<std::string_view> line = last_line(reader)) platform_there = handle(*line);
  }
  platform_there = let_go() && platform_there;
  if (stop_request()) return nullptr;
  if (const char* watched = session_ended()) return watched;
  return platform_there ? nullptr : platform::session_end();
}

}  // namespace

int run_agent(int argc, const char* const* argv, int input, FILE* output) {
  if (requested("--self-test", argc, argv)) {
    fprintf(output, "READY keys=%zu\n", keys.size());
    fflush(output);
    return kEndOfInput;
  }
  if (requested("--displays", argc, argv)) {
    list_displays(output);
    return kEndOfInput;
  }
  if (!platform::trusted()) {
    fputs("ACCESSIBILITY_REQUIRED\n", output);
    fflush(output);
    return kAccessibilityRequired;
  }
  fputs("READY\n", output);
  fflush(output);
  watch_session(platform::session_connection(), platform::session_end(),
                platform::await_session_end);
  let_go_on_stop([] { let_go(); });
  const char* ended = run_command_loop(input);
  if (!ended) return kEndOfInput;
  if (platform::verbose()) fprintf(stderr, "input-agent: the session ended: %s\n", ended);
  return kSessionEnded;
}
