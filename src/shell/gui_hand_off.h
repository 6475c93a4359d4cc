#pragma once

// Hands work from worker threads to the one thread that owns the windows, the
// way SendMessage hands a message to a window's thread: the worker waits until
// its work has run there. Once closed (the dialog has ended) nothing more
// runs and no caller waits any longer, so no worker hangs on a window that is
// gone.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class GuiHandOff {
 public:
  // `wake` must make the GUI thread call runQueued() soon. It is called on
  // worker threads, without the hand-off's lock, once for each batch of work.
  explicit GuiHandOff(std::function<void()> wake);
  GuiHandOff(const GuiHandOff&) = delete;
  GuiHandOff& operator=(const GuiHandOff&) = delete;

  // Worker side: runs `work` on the GUI thread and returns true once it has
  // run. Returns false at once when the hand-off is closed, and as soon as it
  // is closed while `work` still waits its turn (it then never runs). Work
  // that has begun is always waited for, so it may use the caller's locals.
  bool call(const std::function<void()>& work);

  // GUI thread: runs the work queued so far, in order. Work may run a nested
  // main loop that calls runQueued() again. Work that throws counts as run.
  void runQueued();

  // Any thread: closes the hand-off and releases every caller whose work has
  // not begun. True for the call that closed it, false if it was closed.
  bool close();

  bool isClosed() const;

 private:
  enum class State { queued, running, done, dropped };
  struct Request {
    const std::function<void()>* work;
    State state;
  };

  const std::function<void()> wake_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  // Points into the stacks of the waiting callers.
  std::deque<Request*> queue_;
  bool wakePending_ = false;
  bool closed_ = false;
};
