#pragma once

// An X server of its own (Xvfb) for tests that show windows, on a display
// number the server picks (-displayfd), so that tests running side by side
// never meet. It ends with its owner, or with the test process should that
// die first.

#include <sys/types.h>

#include <string>

class VirtualDisplay {
 public:
  // Starts `xvfb` with one screen of `width` x `height` at 24 bits and waits
  // (bounded) until it accepts clients. Throws if it does not.
  VirtualDisplay(const std::string& xvfb, int width, int height);
  ~VirtualDisplay();
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  // ":N", for DISPLAY.
  const std::string& name() const { return name_; }

 private:
  void stop();

  pid_t pid_ = -1;
  std::string name_;
};
