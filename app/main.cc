#include <unistd.h>

#include <cstdio>

#include "app/agent.h"
#include "app/signals.h"

int main(int argc, char** argv) {
  end_input_on_stop_signals(STDIN_FILENO);
  int status = run_agent(argc, argv, STDIN_FILENO, stdout);
  if (int signal = stop_signal()) end_by(signal);
  return status;
}
