#pragma once

// Threads and waiting. Windows provides them natively (thread_win32.cpp);
// thread_posix.cpp stands in for them elsewhere. CMake compiles exactly one
// of the two.

#include <memory>

// What the platform keeps of a started thread until it is joined.
struct ThreadRecord;
struct JoinThread {
  void operator()(ThreadRecord* thread) const;
};

// A started thread. Letting go of it waits for the thread to end, with its
// per-thread state (the C library's, and that of the libraries it called)
// torn down. A thread that signals its end through a flag is still running
// its own teardown after it: a process that ends meanwhile runs the
// libraries' exit cleanup alongside it, which frees that state twice (seen
// with OpenSSL, under libcurl). So whoever waits for the flag then lets go of
// the handle; only a thread that never set its flag is left as it is, by
// ending the process at once (quickExit) or by never letting go of it.
using Thread = std::unique_ptr<ThreadRecord, JoinThread>;

// Starts `proc(arg)` on a thread of its own with the default stack size;
// null if the thread could not be started.
using ThreadProc = void (*)(void*);
Thread startThread(ThreadProc proc, void* arg);

// Gives up the processor for at least one millisecond.
void sleepOneMillisecond();

// Lets another thread that is ready run now, if there is one; returns at
// once otherwise.
void yieldProcessor();
