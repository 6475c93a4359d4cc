#include <windows.h>
// After windows.h, which it builds on.
#include <process.h>

#include <cstdint>

#include "platform/thread.h"

namespace {

// What _beginthreadex carries to the new thread; the thread frees it.
struct ThreadStart {
  ThreadProc proc;
  void* arg;
};

unsigned __stdcall threadEntry(void* data) {
  ThreadStart start = *static_cast<ThreadStart*>(data);
  delete static_cast<ThreadStart*>(data);
  start.proc(start.arg);
  return 0;
}

}  // namespace

struct ThreadRecord {
  HANDLE thread;
};

void JoinThread::operator()(ThreadRecord* record) const {
  WaitForSingleObject(record->thread, INFINITE);
  CloseHandle(record->thread);
  delete record;
}

Thread startThread(ThreadProc proc, void* arg) {
  // _beginthreadex rather than CreateThread, so the C runtime sets up its
  // per-thread state (errno, localtime's buffer) for the new thread; unlike
  // _beginthread, its handle stays valid until closed, so it can be waited
  // for.
  auto* start = new ThreadStart{proc, arg};
  std::uintptr_t thread = _beginthreadex(nullptr, 0, threadEntry, start, 0, nullptr);
  if (thread == 0) {
    delete start;
    return nullptr;
  }
  return Thread(new ThreadRecord{reinterpret_cast<HANDLE>(thread)});
}

void sleepOneMillisecond() {
  Sleep(1);
}

void yieldProcessor() {
  SwitchToThread();
}
