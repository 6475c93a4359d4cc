// The synchronous hand-off from worker threads to the GUI thread, with a
// plain thread standing in for the toolkit's main loop.

#include "shell/gui_hand_off.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 10s;

// The GUI thread's main loop in miniature: wake() marks the hand-off as
// having work, and the loop (or a nested loop inside some work) serves it.
class FakeGuiLoop {
 public:
  FakeGuiLoop() : handOff([this] { wake(); }) {}
  ~FakeGuiLoop() { stop(); }

  void start() {
    thread_ = std::thread([this] {
      guiThread_ = std::this_thread::get_id();
      started_.set_value();
      while (serveOnce(std::chrono::steady_clock::time_point::max())) {
      }
    });
    started_.get_future().wait();
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  // Waits for a wake-up, then runs what is queued. False when stopped or at
  // the deadline.
  bool serveOnce(std::chrono::steady_clock::time_point deadline) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!changed_.wait_until(lock, deadline, [this] { return woken_ || stopping_; })) {
        return false;
      }
      if (stopping_) return false;
      woken_ = false;
    }
    handOff.runQueued();
    return true;
  }

  // Blocks until wake() has been called `count` times in all.
  bool waitForWakes(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return wakes_ >= count; });
  }

  int wakes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wakes_;
  }

  std::thread::id guiThread() const { return guiThread_; }

  GuiHandOff handOff;

 private:
  void wake() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      woken_ = true;
      ++wakes_;
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool woken_ = false;
  bool stopping_ = false;
  int wakes_ = 0;
  std::thread thread_;
  std::thread::id guiThread_;
  std::promise<void> started_;
};

TEST(GuiHandOffTest, RunsTheWorkOnTheGuiThreadBeforeTheCallerGoesOn) {
  FakeGuiLoop gui;
  gui.start();
  std::thread::id ranOn;
  std::string shown;
  std::string text = "Updating a.pak - 5%";
  EXPECT_TRUE(gui.handOff.call([&] {
    ranOn = std::this_thread::get_id();
    shown = text;
  }));
  EXPECT_EQ(ranOn, gui.guiThread());
  EXPECT_EQ(shown, text);
}

TEST(GuiHandOffTest, ServesSeveralWorkersInTheOrderEachCalled) {
  FakeGuiLoop gui;
  gui.start();
  constexpr int kCalls = 300;
  std::vector<std::pair<int, int>> seen;  // GUI thread only
  auto worker = [&](int id) {
    int accepted = 0;
    for (int i = 0; i < kCalls; ++i) {
      if (gui.handOff.call([&] { seen.emplace_back(id, i); })) ++accepted;
    }
    return accepted;
  };
  auto first = std::async(std::launch::async, worker, 1);
  auto second = std::async(std::launch::async, worker, 2);
  bool finished = first.wait_for(kDeadline) == std::future_status::ready &&
                  second.wait_for(kDeadline) == std::future_status::ready;
  // A lost wake-up leaves a worker waiting for ever; release it to report.
  if (!finished) gui.handOff.close();
  ASSERT_TRUE(finished) << "a worker was never served";
  EXPECT_EQ(first.get(), kCalls);
  EXPECT_EQ(second.get(), kCalls);
  gui.stop();
  ASSERT_EQ(seen.size(), 2u * kCalls);
  int next[3] = {0, 0, 0};
  for (const auto& call : seen) EXPECT_EQ(call.second, next[call.first]++);
}

TEST(GuiHandOffTest, ClosingReleasesAWorkerWhoseWorkHasNotRun) {
  // The GUI thread is busy elsewhere and never serves the hand-off, as when
  // the dialog ends while a worker waits for its turn.
  FakeGuiLoop gui;
  bool ran = false;
  auto worker =
      std::async(std::launch::async, [&] { return gui.handOff.call([&] { ran = true; }); });
  ASSERT_TRUE(gui.waitForWakes(1));
  EXPECT_TRUE(gui.handOff.close());
  ASSERT_EQ(worker.wait_for(kDeadline), std::future_status::ready) << "the worker was not released";
  EXPECT_FALSE(worker.get());
  // What was dropped never runs, even if the GUI thread serves later.
  gui.handOff.runQueued();
  EXPECT_FALSE(ran);
}

TEST(GuiHandOffTest, AfterTheEndCallsReturnAtOnceAndRunNothing) {
  FakeGuiLoop gui;
  EXPECT_TRUE(gui.handOff.close());
  EXPECT_FALSE(gui.handOff.close());
  EXPECT_TRUE(gui.handOff.isClosed());
  bool ran = false;
  EXPECT_FALSE(gui.handOff.call([&] { ran = true; }));
  gui.handOff.runQueued();
  EXPECT_FALSE(ran);
  EXPECT_EQ(gui.wakes(), 0);
}

TEST(GuiHandOffTest, WorkThatHasBegunIsWaitedForWhenTheDialogEnds) {
  // The work uses the caller's locals; the caller must not return, and
  // free them, while the GUI thread is still inside it.
  FakeGuiLoop gui;
  gui.start();
  std::promise<void> started;
  std::promise<void> release;
  std::atomic<bool> returned{false};
  auto worker = std::async(std::launch::async, [&] {
    std::string local = "before";
    bool done = gui.handOff.call([&] {
      started.set_value();
      release.get_future().wait();
      local = "written by the GUI thread";
    });
    returned = true;
    return done ? local : std::string("dropped");
  });
  ASSERT_EQ(started.get_future().wait_for(kDeadline), std::future_status::ready);
  EXPECT_TRUE(gui.handOff.close());
  EXPECT_FALSE(returned);
  release.set_value();
  ASSERT_EQ(worker.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(worker.get(), "written by the GUI thread");
}

TEST(GuiHandOffTest, WorkMayRunANestedLoopThatServesOtherWorkers) {
  // A message box runs a nested main loop while its worker waits; the
  // status updates of other workers must still get through meanwhile.
  FakeGuiLoop gui;
  gui.start();
  std::promise<void> boxShown;
  std::atomic<bool> statusShown{false};
  bool nestedServed = false;
  auto boxWorker = std::async(std::launch::async, [&] {
    return gui.handOff.call([&] {
      boxShown.set_value();
      auto deadline = std::chrono::steady_clock::now() + kDeadline;
      while (!statusShown && gui.serveOnce(deadline)) {
      }
      nestedServed = statusShown;
    });
  });
  ASSERT_EQ(boxShown.get_future().wait_for(kDeadline), std::future_status::ready);
  auto statusWorker =
      std::async(std::launch::async, [&] { return gui.handOff.call([&] { statusShown = true; }); });
  bool served = statusWorker.wait_for(kDeadline) == std::future_status::ready;
  if (!served) gui.handOff.close();
  ASSERT_TRUE(served) << "the nested loop could not serve the second worker";
  EXPECT_TRUE(statusWorker.get());
  ASSERT_EQ(boxWorker.wait_for(kDeadline), std::future_status::ready);
  EXPECT_TRUE(boxWorker.get());
  EXPECT_TRUE(nestedServed);
}

}  // namespace
