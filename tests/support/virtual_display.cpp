#include "support/virtual_display.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

VirtualDisplay::VirtualDisplay(const std::string& xvfb, int width, int height) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  // Everything the child needs is made before fork(); after it, only
  // async-signal-safe calls.
  std::string fdText = std::to_string(fds[1]);
  std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  const char* argv[] = {xvfb.c_str(),   "-displayfd", fdText.c_str(), "-screen",  "0",
                        screen.c_str(), "-nolisten",  "tcp",          "-noreset", nullptr};
  int quiet = open("/dev/null", O_RDWR | O_CLOEXEC);
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    fcntl(fds[1], F_SETFD, 0);
    dup2(quiet, STDIN_FILENO);
    dup2(quiet, STDOUT_FILENO);
    dup2(quiet, STDERR_FILENO);
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  close(quiet);
  close(fds[1]);
  // Xvfb writes the display number once it accepts clients.
  std::string number;
  auto deadline = Clock::now() + 30s;
  while (number.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd ready{fds[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[32];
    ssize_t got = read(fds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    number.append(buffer, static_cast<std::size_t>(got));
  }
  close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    stop();
    throw std::runtime_error("Xvfb did not report its display");
  }
  name_ = ":" + number.substr(0, number.find('\n'));
}

VirtualDisplay::~VirtualDisplay() {
  stop();
}

void VirtualDisplay::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  auto deadline = Clock::now() + 10s;
  int status;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    pollfd none{-1, 0, 0};
    poll(&none, 0, 20);
  }
  pid_ = -1;
}
