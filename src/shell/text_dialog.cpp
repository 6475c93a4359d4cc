#include "shell/text_dialog.h"

#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>

#include "log/printable.h"
#include "platform/dialog_ui.h"
#include "platform/resource_ids.h"
#include "update/update_run.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr auto kPlainLineInterval = std::chrono::seconds(1);
constexpr int kBarWidth = 20;

// The status line on a terminal. Redraws in place, and never more often
// than kRedrawInterval, because libcurl reports progress for every chunk it
// receives. Without a terminal (output to a file or pipe) it writes a plain
// line at most once a second, and whenever a new file starts.
class TextDialog final : public DialogUi {
 public:
  explicit TextDialog(int endFd) : endFd_(endFd), terminal_(isatty(STDOUT_FILENO) == 1) {}

  void setText(int id, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    // A name from the manifest must not reach the terminal as an escape
    // sequence.
    std::string shown = printableText(text);
    if (ended_ || id != IDC_STATUS || shown == status_) return;
    bool newFile = fileOf(shown) != fileOf(status_);
    status_ = shown;
    show(newFile);
  }

  void setRange(int, int, int) override {}

  void setPos(int id, int pos) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_ || id != IDC_PROGRESS) return;
    position_ = pos < 0 ? 0 : pos > 100 ? 100 : pos;
  }

  void messageBox(const std::string& text, const std::string& caption) override {
    // Nobody may be there to confirm it (a launcher, a pipe), so the message
    // is shown and the worker goes on.
    std::lock_guard<std::mutex> lock(mutex_);
    breakLine();
    std::fprintf(stderr, "%s: %s\n", printableText(caption).c_str(), printableText(text).c_str());
    std::fflush(stderr);
  }

  void end(int) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return;
    ended_ = true;
    show(true);
    breakLine();
    char byte = 0;
    while (write(endFd_, &byte, 1) < 0 && errno == EINTR) {
    }
  }

 private:
  static std::string fileOf(const std::string& status) {
    return status.substr(0, status.rfind(" - "));
  }

  void show(bool now) {
    Clock::time_point time = Clock::now();
    if (!now && time - shownAt_ < (terminal_ ? kRedrawInterval : kPlainLineInterval)) return;
    if (status_ == shownStatus_) return;
    shownAt_ = time;
    shownStatus_ = status_;
    if (terminal_) {
      int filled = position_ * kBarWidth / 100;
      std::printf("\r\033[K[%s%s] %s", std::string(filled, '#').c_str(),
                  std::string(kBarWidth - filled, '.').c_str(), status_.c_str());
      lineOpen_ = true;
    } else {
      std::printf("%s\n", status_.c_str());
    }
    std::fflush(stdout);
  }

  void breakLine() {
    if (!lineOpen_) return;
    std::printf("\n");
    std::fflush(stdout);
    lineOpen_ = false;
  }

  std::mutex mutex_;
  const int endFd_;
  const bool terminal_;
  bool ended_ = false;
  bool lineOpen_ = false;
  std::string status_;
  std::string shownStatus_;
  int position_ = 0;
  Clock::time_point shownAt_{};
};

}  // namespace

int runTextDialog(UpdateRun& run) {
  // Ctrl-C and a closed terminal arrive as SIGINT and SIGHUP. Blocked before
  // any thread starts (threads inherit the mask), they reach only the
  // signalfd below, where they end the dialog like its close box.
  sigset_t closers;
  sigemptyset(&closers);
  sigaddset(&closers, SIGINT);
  sigaddset(&closers, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &closers, nullptr);
  int signals = signalfd(-1, &closers, SFD_CLOEXEC);
  int ended[2];
  if (signals < 0 || pipe(ended) != 0) return 0;

  // Workers may call the dialog until the process exits, so it is never
  // destroyed.
  auto* dialog = new TextDialog(ended[1]);
  run.options.headless = true;
  if (!startUpdateWorker(&run, dialog)) dialog->end(0);

  pollfd waits[2] = {{ended[0], POLLIN, 0}, {signals, POLLIN, 0}};
  for (;;) {
    if (poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (waits[0].revents != 0) break;
    if (waits[1].revents != 0) {
      // Taken off the queue, so that it does not end the process once the
      // shell unblocks signals again after the game's start.
      signalfd_siginfo taken;
      while (read(signals, &taken, sizeof taken) < 0 && errno == EINTR) {
      }
      dialog->end(0);
      break;
    }
  }
  close(signals);
  return 0;
}
