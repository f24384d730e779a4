// SendInput as Windows has it while the workstation is locked, the secure
// desktop is shown or UIPI keeps the agent from the window in front: it
// inserts nothing. Wine never refuses (it has no integrity levels, and its
// BlockInput does nothing), so the tests' build refuses while the file that
// INPUT_AGENT_TEST_REFUSE names exists, saying so on standard error (so the
// test knows the agent has come that far), and otherwise hands everything to
// the real SendInput, whose input the observer's hook sees.
#include "refusing_send_input.h"

#include <cstdio>
#include <cstdlib>

#undef SendInput

UINT refusing_SendInput(UINT count, LPINPUT inputs, int size) {
  static const char* flag = getenv("INPUT_AGENT_TEST_REFUSE");
  if (flag && GetFileAttributesA(flag) != INVALID_FILE_ATTRIBUTES) {
    fputs("refused\n", stderr);
    fflush(stderr);
    return 0;
  }
  return SendInput(count, inputs, size);
}
