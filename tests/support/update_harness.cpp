#include "support/update_harness.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/thread.h"
#include "shared/globals.h"
#include "support/temp_dir.h"
#include "update/update_run.h"

UpdateHarness::UpdateHarness(const std::string& proxy, const RunOptions& options)
    : dialog_(new RecordingDialog), run_(new UpdateRun) {
  run_->options = options;
  setenv("http_proxy", proxy.c_str(), 1);
  unsetenv("no_proxy");
  unsetenv("NO_PROXY");
  gCurrentFile.clear();
  gDownloadUrl.clear();
  gDownloadDone = false;
  gStopRequested = false;
  gDialog = dialog_;
}

UpdateHarness::~UpdateHarness() {
  // A worker that never finished may still reach the dialog and its run:
  // leave them alive.
  if (finished_) {
    gDialog = nullptr;
    delete dialog_;
    delete run_;
  }
  unsetenv("http_proxy");
}

void UpdateHarness::start() {
  finished_ = false;
  run_->finished = false;
  run_->worker = startThread(runUpdate, run_);
  if (!run_->worker) throw std::runtime_error("cannot start the update worker");
}

bool UpdateHarness::finish(int timeoutMs) {
  if (!dialog_->waitForEnd(std::chrono::milliseconds(timeoutMs))) return false;
  // The worker marks its run finished right after ending the dialog.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!run_->finished && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  finished_ = run_->finished;
  if (finished_) run_->worker.reset();
  return finished_;
}

bool UpdateHarness::run(int timeoutMs) {
  start();
  return finish(timeoutMs);
}

namespace {

// Whether `text` holds an entry's head at `at`: CR LF, a stamp like
// "2026-Dec-07.09.05.03", then " - ".
bool isEntryHead(const std::string& text, std::size_t at) {
  static const char kShape[] = "\r\n9999-Aaa-99.99.99.99 - ";
  std::size_t length = sizeof kShape - 1;
  if (at + length > text.size()) return false;
  for (std::size_t i = 0; i < length; ++i) {
    char want = kShape[i], got = text[at + i];
    bool fits = want == '9'   ? (got >= '0' && got <= '9')
                : want == 'A' ? (got >= 'A' && got <= 'Z')
                : want == 'a' ? (got >= 'a' && got <= 'z')
                              : got == want;
    if (!fits) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> logMessages() {
  std::vector<std::filesystem::path> logs;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    if (entry.path().extension() == ".log") logs.push_back(entry.path());
  }
  std::sort(logs.begin(), logs.end());
  constexpr std::size_t kHeadLength = 25;
  std::vector<std::string> messages;
  for (const auto& log : logs) {
    std::string text = readFile(log);
    std::vector<std::size_t> heads;
    for (std::size_t at = text.find("\r\n"); at != std::string::npos;
         at = text.find("\r\n", at + 1)) {
      if (isEntryHead(text, at)) heads.push_back(at);
    }
    for (std::size_t i = 0; i < heads.size(); ++i) {
      std::size_t start = heads[i] + kHeadLength;
      std::size_t stop = i + 1 < heads.size() ? heads[i + 1] : text.size();
      messages.push_back(text.substr(start, stop - start));
    }
  }
  return messages;
}

std::vector<std::string> settled(std::vector<std::string> names, std::size_t inOrder) {
  if (names.size() > inOrder) {
    std::sort(names.begin() + static_cast<std::ptrdiff_t>(inOrder), names.end());
  }
  return names;
}

std::vector<std::string> inManifestOrder(std::vector<std::string> names,
                                         const std::string& manifest, std::size_t inOrder) {
  std::vector<std::string> listed;
  std::size_t start = 0;
  while (start < manifest.size()) {
    std::size_t end = manifest.find('\n', start);
    if (end == std::string::npos) end = manifest.size();
    listed.push_back(manifest.substr(
        start, manifest.find(',', start) < end ? manifest.find(',', start) - start : end - start));
    start = end + 1;
  }
  auto rank = [&listed](const std::string& name) {
    return std::find(listed.begin(), listed.end(), name) - listed.begin();
  };
  if (names.size() > inOrder) {
    std::stable_sort(
        names.begin() + static_cast<std::ptrdiff_t>(inOrder), names.end(),
        [&rank](const std::string& a, const std::string& b) { return rank(a) < rank(b); });
  }
  return names;
}
