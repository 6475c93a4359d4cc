#include <windows.h>
// After windows.h, which they build on.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "base/names.h"
#include "platform/game_folder.h"
#include "platform/platform.h"

namespace {

class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~Handle() {
    if (valid()) CloseHandle(handle_);
  }
  Handle(Handle&& other) noexcept : handle_(other.release()) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle& operator=(Handle&&) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }

 private:
  HANDLE handle_;
};

bool isSeparator(char c) {
  return c == '/' || c == '\\';
}

PathKind kindOf(DWORD attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::missing;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return PathKind::special;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::folder;
  return PathKind::regular;
}

// Whether every folder on the way to `name` is a real folder (no junction,
// no symbolic link); `why` says what stopped the way otherwise.
bool wayIsPlain(const std::string& name, PathKind* why) {
  for (std::size_t at = 0; at < name.size(); ++at) {
    if (!isSeparator(name[at]) || at == 0) continue;
    DWORD attributes = GetFileAttributesA(name.substr(0, at).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      *why = PathKind::missing;
      return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      *why = PathKind::throughLink;
      return false;
    }
  }
  return true;
}

// Opens `name` as a regular file on the disk, never following a reparse
// point: the check by name keeps a link from being opened at all, the one by
// handle catches a swap in between.
Handle openRegular(const std::string& name, DWORD access, DWORD disposition) {
  PathKind why;
  if (!wayIsPlain(name, &why)) return Handle();
  PathKind kind = kindOf(GetFileAttributesA(name.c_str()));
  if (kind != PathKind::regular && !(kind == PathKind::missing && disposition != OPEN_EXISTING)) {
    return Handle();
  }
  Handle file(CreateFileA(
      name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file.get(), &info) ||
      kindOf(info.dwFileAttributes) != PathKind::regular) {
    return Handle();
  }
  return file;
}

FilePtr streamOf(Handle handle, int flags, const char* mode) {
  if (!handle.valid()) return nullptr;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), flags | _O_BINARY);
  if (fd < 0) return nullptr;
  handle.release();
  FilePtr file(_fdopen(fd, mode));
  if (!file) _close(fd);
  return file;
}

}  // namespace

PathKind inspectPath(const std::string& name) {
  PathKind why;
  if (!wayIsPlain(name, &why)) return why;
  return kindOf(GetFileAttributesA(name.c_str()));
}

FilePtr openRegularFile(const std::string& name) {
  return streamOf(openRegular(name, GENERIC_READ, OPEN_EXISTING), _O_RDONLY, "rb");
}

FilePtr createNewFile(const std::string& name) {
  PathKind why;
  if (!wayIsPlain(name, &why)) return nullptr;
  Handle file(CreateFileA(
      name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return streamOf(std::move(file), _O_WRONLY, "wb");
}

FilePtr openForAppending(const std::string& name) {
  // Append-only access: every write lands at the end, whoever else appends.
  return streamOf(openRegular(name, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS),
                  _O_WRONLY | _O_APPEND, "ab");
}

bool removeFile(const std::string& name) {
  PathKind why;
  if (!wayIsPlain(name, &why)) return why == PathKind::missing;
  DWORD attributes = GetFileAttributesA(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  // A link is removed itself, never what it points to.
  return DeleteFileA(name.c_str()) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool replaceGameFile(const std::string& from, const std::string& to) {
  PathKind why;
  if (!wayIsPlain(to, &why)) return false;
  PathKind kind = kindOf(GetFileAttributesA(to.c_str()));
  if (kind != PathKind::regular && kind != PathKind::missing) return false;
  return replaceFile(from, to);
}

bool makeFolders(const std::string& name) {
  for (std::size_t at = 1; at < name.size(); ++at) {
    if (!isSeparator(name[at])) continue;
    std::string folder = name.substr(0, at);
    DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      // Another process may make it at the same moment: the look after
      // decides, and takes only a real folder.
      if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
      }
      attributes = GetFileAttributesA(folder.c_str());
    }
    if (kindOf(attributes) != PathKind::folder) return false;
  }
  return true;
}

SetAside setAsideGameFile(const std::string& name, const std::string& aside) {
  PathKind why;
  if (!wayIsPlain(name, &why) || !wayIsPlain(aside, &why)) return SetAside::refused;
  DWORD attributes = GetFileAttributesA(name.c_str());
  if (kindOf(attributes) != PathKind::regular || (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return SetAside::refused;
  }
  // Windows lets a running program's file be renamed, but while it runs
  // neither removes nor replaces any of its names, a hard link's included
  // (measured under Wine: docs/reliability.md). So it moves, and `name` is
  // free until the new file takes it.
  return MoveFileExA(name.c_str(), aside.c_str(), 0) ? SetAside::moved : SetAside::refused;
}

bool renameGameFile(const std::string& from, const std::string& to) {
  PathKind why;
  if (!wayIsPlain(from, &why) || !wayIsPlain(to, &why)) return false;
  if (kindOf(GetFileAttributesA(from.c_str())) != PathKind::regular) return false;
  // Without MOVEFILE_REPLACE_EXISTING: fails if `to` is taken.
  return MoveFileExA(from.c_str(), to.c_str(), 0) != 0;
}

bool replaceProgramFile(const std::string& from, const std::string& to, const std::string&) {
  // `to` is free (setAsideGameFile moved the running file); Windows
  // programs need no permission to be started.
  return replaceGameFile(from, to);
}

std::int64_t freeDiskSpace() {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExA(nullptr, &available, nullptr, nullptr)) return -1;
  return static_cast<std::int64_t>(available.QuadPart);
}

FolderLock lockGameFolder() {
  Handle file = openRegular(kLockFile, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
  if (!file.valid()) return FolderLock::unavailable;
  OVERLAPPED whole = {};
  if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                  &whole)) {
    return GetLastError() == ERROR_LOCK_VIOLATION ? FolderLock::busy : FolderLock::unavailable;
  }
  // Held until the process exits: Windows releases the lock with the handle.
  file.release();
  return FolderLock::held;
}
