#pragma once

// The lock that keeps one brightwick-pack at a time in an output folder: a
// publish holds it from before it looks at the folder until it is done, and
// so does the repair that verify makes. Another run finds it taken and
// stops at once; nothing waits. The system lets go of it when the process
// ends, however it ends, so a killed run never leaves the folder locked.

#include <cstdint>
#include <string>

#include "output_folder.h"

enum class LockOutcome {
  taken,
  busy,    // another process holds it
  failed,  // the lock file cannot be created or opened (errno says why)
};

class OutputLock {
 public:
  OutputLock() = default;
  ~OutputLock();
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;

  // Takes the lock on the file `name` in `folder` (created if missing)
  // without waiting. `folder` outlives the lock.
  LockOutcome take(const OutputFolder& folder, const std::string& name);
  bool held() const;
  // Deletes the lock file and lets go, for a run that created the folder it
  // is in and leaves nothing behind. A run that opened the same file
  // meanwhile finds it busy, or gone once it holds it, and tries again.
  void removeAndRelease();
  void release();

 private:
  const OutputFolder* folder_ = nullptr;
  std::string name_;
  std::intptr_t handle_ = -1;  // a descriptor, or a HANDLE on Windows
};
