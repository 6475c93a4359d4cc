#pragma once

// Runs a program as a child process for end-to-end tests, with a bounded
// wait.

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct ProcessResult {
  bool exited = false;  // false: it had to be killed at the deadline
  int exitCode = -1;
  int signal = 0;      // the signal that ended it, 0 if it exited
  std::string output;  // stdout and stderr together
  std::chrono::milliseconds elapsed{0};
};

class ChildProcess {
 public:
  // Starts `argv` in folder `cwd` with the test's environment, changed by
  // `env` (an empty value removes the variable).
  ChildProcess(const std::vector<std::string>& argv, const std::string& cwd,
               const std::map<std::string, std::string>& env);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void signal(int number);
  // Waits until the child ends or `timeout` passes (then kills it).
  ProcessResult wait(std::chrono::milliseconds timeout);

 private:
  int pid_ = -1;
  int outputFd_ = -1;
  std::string output_;
  std::chrono::steady_clock::time_point started_;
  std::optional<ProcessResult> result_;
};

// Runs to the end (or the deadline) and returns what happened.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::map<std::string, std::string>& env,
                         std::chrono::milliseconds timeout);

// Waits until `ready()` returns true, asking again whenever something in
// `folder` changes, for at most `timeout`; returns the last answer.
bool waitForChange(const std::string& folder, const std::function<bool()>& ready,
                   std::chrono::milliseconds timeout);

// Waits until `path` exists or `timeout` passes; true if it appeared.
bool waitForFile(const std::string& path, std::chrono::milliseconds timeout);
