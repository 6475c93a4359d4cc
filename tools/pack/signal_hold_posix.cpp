#include <pthread.h>
#include <signal.h>

#include <initializer_list>

#include "signal_hold.h"

namespace {

// The mask is the calling thread's, and so is what restores it.
thread_local int gHoldDepth = 0;
thread_local sigset_t gMaskBefore;

}  // namespace

SignalHold::SignalHold() {
  if (gHoldDepth++ > 0) return;
  sigset_t held;
  sigemptyset(&held);
  for (int number : {SIGHUP, SIGINT, SIGTERM}) sigaddset(&held, number);
  pthread_sigmask(SIG_BLOCK, &held, &gMaskBefore);
}

SignalHold::~SignalHold() {
  // What arrived meanwhile is delivered as the mask comes off.
  if (--gHoldDepth == 0) pthread_sigmask(SIG_SETMASK, &gMaskBefore, nullptr);
}
