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

// Where the main thread is: working on what it read, waiting in ReadFile, or
// stopped for good because the stop request's thread took over from it.
enum Phase { kWorking, kReading, kTakenOver };
std::atomic<Phase> phase = kWorking;
std::atomic<void (*)()> let_go_at_stop = nullptr;

// Runs on a thread of its own. A read from a pipe cannot be relied on to be
// cancelled (under Wine, CancelSynchronousIo leaves it waiting), so when the
// main thread waits in one, this thread takes over from it: it lets go of
// everything and ends the process. Otherwise the main thread finds the
// request at its next read, lets go and ends the process itself. Windows
// ends a process whose handler returns from a close event, so the handler
// waits for that, within the bound from the event on.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  ULONGLONG deadline = GetTickCount64() + kStopBound.count();
  int none = 0;
  received.compare_exchange_strong(none, static_cast<int>(event) + 1);
  while (!reading_done && GetTickCount64() < deadline) {
    Phase reading = kReading;
    if (phase.compare_exchange_strong(reading, kTakenOver)) {
      if (void (*let_go)() = let_go_at_stop) let_go();
      end_by(received);
    }
    Sleep(1);
  }
  ULONGLONG now = GetTickCount64();
  if (now < deadline) Sleep(static_cast<DWORD>(deadline - now));
  end_by(received);
  return TRUE;
}

// Back from a read: the stop request's thread may have taken over meanwhile,
// and is ending the process.
void finish_reading() {
  Phase reading = kReading;
  if (!phase.compare_exchange_strong(reading, kWorking)) Sleep(INFINITE);
}

}  // namespace

// Binary mode: in text mode a 0x1A byte would end the input and "\r\n" be
// rewritten; the agent does its own framing.
void prepare_process(int input) {
  _setmode(input, _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

// End of file, a broken pipe, a stop request and every read error end the
// input.
size_t read_input(int input, char* buffer, size_t size) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(input));
  DWORD count = 0;
  phase = kReading;
  if (received || !ReadFile(handle, buffer, static_cast<DWORD>(size), &count, nullptr)) count = 0;
  finish_reading();
  if (count == 0) reading_done = true;
  return count;
}

void let_go_on_stop(void (*let_go)()) {
  let_go_at_stop = let_go;
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
