#include "shell/gui_hand_off.h"

#include <utility>

GuiHandOff::GuiHandOff(std::function<void()> wake) : wake_(std::move(wake)) {}

bool GuiHandOff::call(const std::function<void()>& work) {
  Request request{&work, State::queued};
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    queue_.push_back(&request);
    // One wake-up serves everything queued before the GUI thread gets to it.
    wake = !wakePending_;
    wakePending_ = true;
  }
  if (wake) wake_();
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock,
                [&] { return request.state == State::done || request.state == State::dropped; });
  return request.state == State::done;
}

void GuiHandOff::runQueued() {
  std::unique_lock<std::mutex> lock(mutex_);
  wakePending_ = false;
  while (!closed_ && !queue_.empty()) {
    Request* request = queue_.front();
    queue_.pop_front();
    request->state = State::running;
    // Unlocked while it runs: the work may take its time (a message box the
    // user must confirm), and meanwhile the dialog may be closed and other
    // work queued and run by a nested main loop.
    lock.unlock();
    try {
      (*request->work)();
    } catch (...) {
      // Nothing may unwind into the toolkit's main loop, and the caller must
      // be released either way.
    }
    lock.lock();
    request->state = State::done;
    changed_.notify_all();
  }
}

bool GuiHandOff::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  closed_ = true;
  for (Request* request : queue_) request->state = State::dropped;
  queue_.clear();
  changed_.notify_all();
  return true;
}

bool GuiHandOff::isClosed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}
