#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>
#include <memory>

#include "platform/thread.h"

namespace {

// What pthread_create carries to the new thread; the thread frees it.
struct ThreadStart {
  ThreadProc proc;
  void* arg;
};

void* threadEntry(void* data) {
  ThreadStart start = *static_cast<ThreadStart*>(data);
  delete static_cast<ThreadStart*>(data);
  start.proc(start.arg);
  return nullptr;
}

}  // namespace

struct ThreadRecord {
  pthread_t thread;
};

void JoinThread::operator()(ThreadRecord* record) const {
  pthread_join(record->thread, nullptr);
  delete record;
}

Thread startThread(ThreadProc proc, void* arg) {
  auto record = std::make_unique<ThreadRecord>();
  auto* start = new ThreadStart{proc, arg};
  if (pthread_create(&record->thread, nullptr, threadEntry, start) != 0) {
    delete start;
    return nullptr;
  }
  return Thread(record.release());
}

void sleepOneMillisecond() {
  timespec delay{0, 1000000};
  while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

void yieldProcessor() {
  sched_yield();
}
