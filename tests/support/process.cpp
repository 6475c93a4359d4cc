#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace {

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& changes) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    std::size_t equals = text.find('=');
    if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& change : changes) {
    if (change.second.empty()) {
      merged.erase(change.first);
    } else {
      merged[change.first] = change.second;
    }
  }
  std::vector<std::string> out;
  for (const auto& entry : merged) out.push_back(entry.first + "=" + entry.second);
  return out;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& cwd,
                           const std::map<std::string, std::string>& env) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> args = argv;
  std::vector<std::string> environment = mergedEnvironment(env);
  std::vector<char*> argPointers = pointersTo(args);
  std::vector<char*> envPointers = pointersTo(environment);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  // Its own process group, so that a test can signal everything it started.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  int rc =
      posix_spawnp(&pid_, args[0].c_str(), &actions, &attr, argPointers.data(), envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(pipeFds[1]);
  outputFd_ = pipeFds[0];
  started_ = std::chrono::steady_clock::now();
  if (rc != 0) {
    close(outputFd_);
    throw std::runtime_error("cannot start " + args[0]);
  }
}

ChildProcess::~ChildProcess() {
  if (!result_) wait(std::chrono::milliseconds(0));
  if (outputFd_ >= 0) close(outputFd_);
}

void ChildProcess::signal(int number) {
  if (!result_) ::kill(pid_, number);
}

ProcessResult ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (result_) return *result_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  ProcessResult result;
  int status = 0;
  bool outputOpen = true;
  for (;;) {
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      result.exited = true;
      break;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (!outputOpen) {
      // Output closed (the child may have passed it on to the game); only
      // its exit is left to wait for.
      pollfd none{-1, 0, 0};
      poll(&none, 0, static_cast<int>(std::min<long>(left.count(), 10)));
      continue;
    }
    pollfd wait{outputFd_, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(std::min<long>(left.count(), 50))) > 0) {
      char buffer[4096];
      ssize_t got = read(outputFd_, buffer, sizeof buffer);
      if (got > 0) {
        output_.append(buffer, static_cast<std::size_t>(got));
      } else {
        outputOpen = false;
      }
    }
  }
  if (!result.exited) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  // Collect what is left without waiting for descendants that keep the pipe.
  fcntl(outputFd_, F_SETFL, O_NONBLOCK);
  char buffer[4096];
  ssize_t got;
  while ((got = read(outputFd_, buffer, sizeof buffer)) > 0) {
    output_.append(buffer, static_cast<std::size_t>(got));
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.output = output_;
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started_);
  result_ = result;
  return result;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::map<std::string, std::string>& env,
                         std::chrono::milliseconds timeout) {
  ChildProcess child(argv, cwd, env);
  return child.wait(timeout);
}

bool waitForChange(const std::string& folder, const std::function<bool()>& ready,
                   std::chrono::milliseconds timeout) {
  // inotify on the folder wakes the wait when something there changes,
  // rather than polling for it.
  int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) return ready();
  inotify_add_watch(fd, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  bool done;
  for (;;) {
    done = ready();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (done || left.count() <= 0) break;
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(left.count())) > 0) {
      char events[4096];
      while (read(fd, events, sizeof events) > 0) {
      }
    }
  }
  close(fd);
  return done;
}

bool waitForFile(const std::string& path, std::chrono::milliseconds timeout) {
  std::filesystem::path file(path);
  std::string folder = file.has_parent_path() ? file.parent_path().string() : ".";
  return waitForChange(
      folder, [&] { return access(path.c_str(), F_OK) == 0; }, timeout);
}
