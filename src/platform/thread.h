#pragma once

// Threads and waiting. Windows provides them natively (thread_win32.cpp);
// thread_posix.cpp stands in for them elsewhere. CMake compiles exactly one
// of the two.

// Starts `proc(arg)` on a detached thread with the default stack size.
// Returns false if the thread could not be started.
using ThreadProc = void (*)(void*);
bool startThread(ThreadProc proc, void* arg);

// Gives up the processor for at least one millisecond.
void sleepOneMillisecond();

// Lets another thread that is ready run now, if there is one; returns at
// once otherwise.
void yieldProcessor();
