#include <windows.h>
// After windows.h, which it builds on.
#include <process.h>

#include <cstdint>

#include "platform/thread.h"

bool startThread(ThreadProc proc, void* arg) {
  // _beginthread rather than CreateThread, so the C runtime sets up its
  // per-thread state (errno, localtime's buffer) for the new thread.
  std::uintptr_t thread = _beginthread(proc, 0, arg);
  return thread != static_cast<std::uintptr_t>(-1) && thread != 0;
}

void sleepOneMillisecond() {
  Sleep(1);
}

void yieldProcessor() {
  SwitchToThread();
}
