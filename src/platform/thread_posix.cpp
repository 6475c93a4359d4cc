#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>

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

bool startThread(ThreadProc proc, void* arg) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  auto* start = new ThreadStart{proc, arg};
  int rc = pthread_create(&thread, &attr, threadEntry, start);
  if (rc != 0) delete start;
  pthread_attr_destroy(&attr);
  return rc == 0;
}

void sleepOneMillisecond() {
  timespec delay{0, 1000000};
  while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

void yieldProcessor() {
  sched_yield();
}
