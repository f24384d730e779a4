#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "app/agent.h"
#include "app/signals.h"

int main(int argc, char** argv) {
  // A display server that has gone makes writes to it fail, which the
  // backend reports; it must not end the agent before it can let go.
  signal(SIGPIPE, SIG_IGN);
  end_input_on_stop_signals(STDIN_FILENO);
  int status = run_agent(argc, argv, STDIN_FILENO, stdout);
  if (int signal = stop_signal()) end_by(signal);
  return status;
}
