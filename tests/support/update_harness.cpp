#include "support/update_harness.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include "shared/globals.h"
#include "support/temp_dir.h"
#include "update/update_run.h"

UpdateHarness::UpdateHarness(const std::string& proxy) : dialog_(new RecordingDialog) {
  setenv("http_proxy", proxy.c_str(), 1);
  unsetenv("no_proxy");
  unsetenv("NO_PROXY");
  gCurrentFile.clear();
  gDownloadUrl.clear();
  gDownloadDone = false;
  gStopRequested = false;
  gUpdateFinished = false;
  gDialog = dialog_;
}

UpdateHarness::~UpdateHarness() {
  // A worker that never finished may still reach the dialog: leave it alive.
  if (finished_) {
    gDialog = nullptr;
    delete dialog_;
  }
  unsetenv("http_proxy");
}

void UpdateHarness::start() {
  finished_ = false;
  gUpdateFinished = false;
  if (!startThread(runUpdate)) throw std::runtime_error("cannot start the update worker");
}

bool UpdateHarness::finish(int timeoutMs) {
  if (!dialog_->waitForEnd(std::chrono::milliseconds(timeoutMs))) return false;
  // The worker sets gUpdateFinished right after ending the dialog.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!gUpdateFinished && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  finished_ = gUpdateFinished;
  return finished_;
}

bool UpdateHarness::run(int timeoutMs) {
  start();
  return finish(timeoutMs);
}

std::vector<std::string> logMessages() {
  std::vector<std::filesystem::path> logs;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    if (entry.path().extension() == ".log") logs.push_back(entry.path());
  }
  std::sort(logs.begin(), logs.end());
  static const std::regex kEntry("\r\n\\d{4}-[A-Z][a-z]{2}-\\d{2}\\.\\d{2}\\.\\d{2}\\.\\d{2} - ");
  std::vector<std::string> messages;
  for (const auto& log : logs) {
    std::string text = readFile(log);
    std::sregex_iterator it(text.begin(), text.end(), kEntry), end;
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    for (; it != end; ++it) spans.emplace_back(it->position(), it->length());
    for (std::size_t i = 0; i < spans.size(); ++i) {
      std::size_t start = spans[i].first + spans[i].second;
      std::size_t stop = i + 1 < spans.size() ? spans[i + 1].first : text.size();
      messages.push_back(text.substr(start, stop - start));
    }
  }
  return messages;
}
