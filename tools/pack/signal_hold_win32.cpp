#include <windows.h>

#include <csignal>

#include "signal_hold.h"

namespace {

// Set while no hold is in force; a handler that must not return before the
// hold ends waits for it. Made once and kept for the life of the process, so
// that a handler thread never waits on a handle that was closed.
HANDLE gHoldOver = nullptr;
// The Ctrl-C or Ctrl-Break that arrived during the hold, 0 if none.
volatile LONG gHeldEvent = 0;
int gHoldDepth = 0;

BOOL WINAPI holdHandler(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
    InterlockedExchange(&gHeldEvent, static_cast<LONG>(type) + 1);
    return TRUE;
  }
  // A closed console window, a logoff or a shutdown end the process as soon
  // as the handlers return, so this one returns only after the hold (the
  // system allows a handler some seconds).
  WaitForSingleObject(gHoldOver, INFINITE);
  return FALSE;
}

}  // namespace

SignalHold::SignalHold() {
  if (gHoldDepth++ > 0) return;
  if (!gHoldOver) gHoldOver = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ResetEvent(gHoldOver);
  InterlockedExchange(&gHeldEvent, 0);
  SetConsoleCtrlHandler(holdHandler, TRUE);
}

SignalHold::~SignalHold() {
  if (--gHoldDepth > 0) return;
  SetConsoleCtrlHandler(holdHandler, FALSE);
  SetEvent(gHoldOver);
  // Passed on as the runtime would have: to the handler the program set, if
  // any, or ending the process.
  LONG held = InterlockedExchange(&gHeldEvent, 0);
  if (held == CTRL_C_EVENT + 1) std::raise(SIGINT);
  if (held == CTRL_BREAK_EVENT + 1) std::raise(SIGBREAK);
}
