#pragma once

// A dialog that records exactly what the core told it, in order, and ignores
// everything after its end, as the real dialogs do.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dialog_ui.h"

class RecordingDialog final : public DialogUi {
 public:
  void setText(int id, const std::string& text) override {
    record("text " + std::to_string(id) + " " + text);
  }
  void setRange(int id, int low, int high) override {
    record("range " + std::to_string(id) + " " + std::to_string(low) + " " + std::to_string(high));
  }
  void setPos(int id, int pos) override {
    record("pos " + std::to_string(id) + " " + std::to_string(pos));
  }
  void messageBox(const std::string& text, const std::string& caption) override {
    // A message box has no owner: it shows even after the dialog's end.
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back("box " + caption + "|" + text);
  }
  void end(int result) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return;
    events_.push_back("end " + std::to_string(result));
    ended_ = true;
    endedChanged_.notify_all();
  }

  // Blocks until an event `event` has been recorded, or `timeout` passed.
  bool waitForEvent(const std::string& event, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return endedChanged_.wait_for(lock, timeout, [&] {
      return std::find(events_.begin(), events_.end(), event) != events_.end();
    });
  }

  bool waitForEnd(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return endedChanged_.wait_for(lock, timeout, [this] { return ended_; });
  }
  std::vector<std::string> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  // The recorded events that start with `prefix`.
  std::vector<std::string> eventsStartingWith(const std::string& prefix) const {
    std::vector<std::string> matching;
    for (const std::string& event : events()) {
      if (event.compare(0, prefix.size(), prefix) == 0) matching.push_back(event);
    }
    return matching;
  }

 private:
  void record(std::string event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ended_) events_.push_back(std::move(event));
    endedChanged_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable endedChanged_;
  std::vector<std::string> events_;
  bool ended_ = false;
};
