#include <unistd.h>

#include <cstdio>

#include "app/agent.h"
#include "app/process.h"

int main(int argc, char** argv) {
  prepare_process(STDIN_FILENO);
  int status = run_agent(argc, argv, STDIN_FILENO, stdout);
  if (int request = stop_request()) end_by(request);
  return status;
}
