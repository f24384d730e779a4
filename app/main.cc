#include <unistd.h>

#include <cstdio>

#include "app/agent.h"

int main(int argc, char** argv) {
  return run_agent(argc, argv, STDIN_FILENO, stdout);
}
