#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "app/process.h"

namespace {

// The console event that stopped the agent (plus one, so that Ctrl-C, 0,
// reads as a request), or 0.
std::atomic<int> received = 0;
std::atomic<bool> reading_done = false;
HANDLE main_thread = nullptr;

// Runs on a thread of its own. The main thread may be waiting in ReadFile:
// its read is cancelled (again until it has stopped reading, in case it was
// just about to start one), and it then releases everything and ends the
// process. Windows ends a process whose handler returns from a close event,
// so the handler waits for that, within the bound from the event on.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  ULONGLONG deadline = GetTickCount64() + kStopBound.count();
  int none = 0;
  received.compare_exchange_strong(none, static_cast<int>(event) + 1);
  while (!reading_done && GetTickCount64() < deadline) {
    CancelSynchronousIo(main_thread);
    Sleep(10);
  }
  ULONGLONG now = GetTickCount64();
  if (now < deadline) Sleep(static_cast<DWORD>(deadline - now));
  end_by(received);
  return TRUE;
}

}  // namespace

// Binary mode: in text mode a 0x1A byte would end the input and "\r\n" be
// rewritten; the agent does its own framing.
void prepare_process(int input) {
  _setmode(input, _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread, 0,
                  FALSE, DUPLICATE_SAME_ACCESS);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

// End of file, a broken pipe, a cancelled read and every other error end the
// input.
size_t read_input(int input, char* buffer, size_t size) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(input));
  DWORD count = 0;
  if (received || !ReadFile(handle, buffer, static_cast<DWORD>(size), &count, nullptr)) count = 0;
  if (count == 0) reading_done = true;
  return count;
}

// The Windows backend never waits for input to pause (its idle_bound() is
// always nothing), so this never waits either.
bool input_within(int, std::chrono::milliseconds) {
  return true;
}

int stop_request() {
  return received;
}

// The exit status a console program has when Ctrl-C ends it.
void end_by(int) {
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Nothing ends the agent's session on Windows but the end of the person's,
// which ends the agent too: there is nothing to watch.
void watch_session(int, const char*, const char* (*)(int)) {}

void stop_watching_session() {}

const char* session_ended() {
  return nullptr;
}

bool ending() {
  return received != 0;
}
