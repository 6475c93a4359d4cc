#include <windows.h>
// After windows.h, which they build on.
#include <io.h>
#include <share.h>

#include <cstdio>
#include <ctime>

#include "platform/platform.h"

namespace {

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Whether this process could rewrite and delete the existing file `path`
// now. MoveFileEx decides the same, but not every Windows-alike does (Wine
// run by root replaces a read-only file); checking the attribute and asking
// for the access first makes the refusal certain.
bool mayReplace(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return false;
  }
  ScopedHandle probe(CreateFileA(path.c_str(), GENERIC_WRITE | DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (probe.valid()) return true;
  // A target that does not exist yet is simply created by the move.
  return GetLastError() == ERROR_FILE_NOT_FOUND;
}

}  // namespace

FilePtr openShared(const std::string& path, const char* mode) {
  return FilePtr(_fsopen(path.c_str(), mode, _SH_DENYNO));
}

std::int64_t fileLength(std::FILE* file) {
  if (!file) return -1;
  return _filelengthi64(_fileno(file));
}

bool seek(std::FILE* file, std::int64_t offset) {
  // The C runtime of Windows XP (msvcrt.dll) lacks _fseeki64; its fsetpos
  // takes a 64-bit position.
  if (!file || offset < 0) return false;
  std::fpos_t position = offset;
  return std::fsetpos(file, &position) == 0;
}

bool replaceFile(const std::string& from, const std::string& to) {
  if (!mayReplace(to)) return false;
  {
    // The new content reaches the disk before the name points at it, so
    // that a power cut leaves the old file or the new one, never an empty
    // one.
    ScopedHandle source(CreateFileA(from.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!source.valid() || !FlushFileBuffers(source.get())) return false;
  }
  // One rename in the file system: readers see the old or the new file, and
  // a failure leaves both as they were.
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool localTimeOf(std::time_t when, std::tm* out) {
  // The runtime keeps localtime's result per thread, so this is safe across
  // threads; localtime_s would import a function Windows XP lacks.
  const std::tm* local = std::localtime(&when);
  if (!local) return false;
  *out = *local;
  return true;
}

void quickExit(int code) {
  // TerminateProcess, not ExitProcess: the latter still lets the runtime's
  // DLL run exit-time code while workers are alive.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  for (;;) Sleep(INFINITE);
}
