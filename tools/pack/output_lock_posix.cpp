#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "output_lock.h"

namespace {

// A lock file that another run deleted while this one waited for it is
// another file from then on; a few rounds settle that.
constexpr int kAttempts = 10;

}  // namespace

OutputLock::~OutputLock() {
  release();
}

LockOutcome OutputLock::take(const std::filesystem::path& path) {
  release();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) return LockOutcome::failed;
    // flock, not fcntl: an fcntl lock vanishes when the process closes any
    // descriptor of the file, and belongs to the process rather than to the
    // open file, so a second take in one process would not see the first.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int error = errno;
      close(fd);
      errno = error;
      return error == EWOULDBLOCK ? LockOutcome::busy : LockOutcome::failed;
    }
    struct stat held, named;
    if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      path_ = path;
      handle_ = fd;
      return LockOutcome::taken;
    }
    close(fd);
  }
  errno = EAGAIN;
  return LockOutcome::failed;
}

bool OutputLock::held() const {
  return handle_ >= 0;
}

void OutputLock::removeAndRelease() {
  // Unlinked while still held, so no other run can take this file after we
  // let go and believe it guards the folder.
  if (held()) unlink(path_.c_str());
  release();
}

void OutputLock::release() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = -1;
}
