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

LockOutcome OutputLock::take(const OutputFolder& folder, const std::string& name) {
  release();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    FilePtr file = folder.openOrCreate(name);
    if (!file) return LockOutcome::failed;
    int fd = fcntl(fileno(file.get()), F_DUPFD_CLOEXEC, 0);
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
    struct stat held;
    FileIdentity named;
    if (fstat(fd, &held) == 0 && folder.identity(name, &named) &&
        static_cast<std::uint64_t>(held.st_dev) == named.volume &&
        static_cast<std::uint64_t>(held.st_ino) == named.index) {
      folder_ = &folder;
      name_ = name;
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
  if (held()) folder_->removeFile(name_);
  release();
}

void OutputLock::release() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = -1;
}
