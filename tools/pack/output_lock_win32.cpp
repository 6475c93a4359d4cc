#include <windows.h>

#include <cerrno>

#include "output_lock.h"

namespace {

HANDLE handleOf(std::intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

}  // namespace

OutputLock::~OutputLock() {
  release();
}

LockOutcome OutputLock::take(const OutputFolder& folder, const std::string& name) {
  release();
  // No junction on the way, and the name itself a file or nothing: checked
  // by name, as the updater checks its game folder.
  EntryKind kind = folder.kind(name);
  if (kind != EntryKind::file && kind != EntryKind::missing) {
    errno = ELOOP;
    return LockOutcome::failed;
  }
  std::filesystem::path path = folder.pathOf(name);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_SHARING_VIOLATION ? LockOutcome::busy : LockOutcome::failed;
  }
  // One byte far beyond any content; the system drops the lock with the
  // handle, also when the process is killed.
  OVERLAPPED at = {};
  at.Offset = 0xffffffffu;
  at.OffsetHigh = 0x7fffffffu;
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    DWORD error = GetLastError();
    CloseHandle(file);
    return error == ERROR_LOCK_VIOLATION ? LockOutcome::busy : LockOutcome::failed;
  }
  folder_ = &folder;
  name_ = name;
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return LockOutcome::taken;
}

bool OutputLock::held() const {
  return handle_ != reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
}

void OutputLock::removeAndRelease() {
  // The file cannot be deleted while open without delete sharing, which
  // would let another run delete it under us; so close, then delete. A run
  // that opened it in between holds it now, and the delete fails harmlessly.
  bool wasHeld = held();
  release();
  if (wasHeld) folder_->removeFile(name_);
}

void OutputLock::release() {
  if (held()) CloseHandle(handleOf(handle_));
  handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
}
