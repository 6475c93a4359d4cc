#include <windows.h>
// After windows.h, which they build on.
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

#include "output_folder.h"
#include "pack_support.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

struct FindCloser {
  void operator()(HANDLE handle) const { FindClose(handle); }
};

constexpr std::size_t kStreamBuffer = 64 * 1024;

// errno for the last Windows error, so that errnoText() can say it.
void setErrnoFromWindows() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      errno = EACCES;
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_DIR_NOT_EMPTY:
      errno = ENOTEMPTY;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    default:
      errno = EIO;
      break;
  }
}

bool isPlainComponent(const std::string& component) {
  return !component.empty() && component != "." && component != "..";
}

bool isReparse(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool isFolder(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

EntryKind kindOf(DWORD attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES) return EntryKind::missing;
  if (isReparse(attributes)) return EntryKind::link;
  if (isFolder(attributes)) return EntryKind::folder;
  return EntryKind::file;
}

// Whether every folder on the way from `root` to `name` is a real folder,
// neither a junction nor a symbolic link: checked by name, one folder at a
// time, as the updater checks its game folder. errno says what stopped it.
bool wayIsPlain(const fs::path& root, const std::string& name) {
  std::size_t start = 0;
  for (std::size_t slash; (slash = name.find('/', start)) != std::string::npos; start = slash + 1) {
    if (!isPlainComponent(name.substr(start, slash - start))) {
      errno = EINVAL;
      return false;
    }
    DWORD attributes = GetFileAttributesW((root / manifestNamePath(name.substr(0, slash))).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      errno = ENOENT;
      return false;
    }
    if (isReparse(attributes)) {
      errno = ELOOP;
      return false;
    }
    if (!isFolder(attributes)) {
      errno = ENOTDIR;
      return false;
    }
  }
  if (!isPlainComponent(name.substr(start))) {
    errno = EINVAL;
    return false;
  }
  return true;
}

// errno for something at a name that is not the regular file wanted.
void setErrnoFor(DWORD attributes) {
  errno = isReparse(attributes) ? ELOOP : isFolder(attributes) ? EISDIR : ENOENT;
}

// Opens `path` as a regular file on the disk, never following a reparse
// point: refused by name first, then checked by handle for a swap between.
ScopedHandle openRegular(const fs::path& path, DWORD access, DWORD disposition) {
  DWORD before = GetFileAttributesW(path.c_str());
  if (before != INVALID_FILE_ATTRIBUTES && (isReparse(before) || isFolder(before))) {
    setErrnoFor(before);
    return nullptr;
  }
  HANDLE handle = CreateFileW(path.c_str(), access,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    setErrnoFromWindows();
    return nullptr;
  }
  ScopedHandle file(handle);
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      kindOf(info.dwFileAttributes) != EntryKind::file) {
    errno = ELOOP;
    return nullptr;
  }
  return file;
}

FilePtr streamOf(ScopedHandle handle, int flags, const char* mode) {
  if (!handle) return nullptr;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), flags | _O_BINARY);
  if (fd < 0) return nullptr;
  handle.release();
  FilePtr file(_fdopen(fd, mode));
  if (!file) {
    _close(fd);
    return nullptr;
  }
  std::setvbuf(file.get(), nullptr, _IOFBF, kStreamBuffer);
  return file;
}

// Removes what the folder `path` holds, never entering a reparse point: a
// link is removed itself.
bool emptyFolder(const fs::path& path, int depth) {
  if (depth > 64) {
    errno = ELOOP;
    return false;
  }
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path / L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  std::unique_ptr<void, FindCloser> closer(search);
  bool emptied = true;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    fs::path entry = path / name;
    DWORD attributes = found.dwFileAttributes;
    bool removed;
    if (isFolder(attributes) && !isReparse(attributes)) {
      removed = emptyFolder(entry, depth + 1) && RemoveDirectoryW(entry.c_str()) != 0;
    } else if (isFolder(attributes)) {
      removed = RemoveDirectoryW(entry.c_str()) != 0;
    } else {
      removed = DeleteFileW(entry.c_str()) != 0;
    }
    emptied = emptied && removed;
  } while (FindNextFileW(search, &found));
  return emptied;
}

}  // namespace

OutputFolder::OutputFolder(const fs::path& root) : root_(root) {
  if (!isFolder(GetFileAttributesW(root.c_str()))) {
    throw std::runtime_error("cannot open " + shown(root) + ": it is not a folder");
  }
}

OutputFolder::~OutputFolder() = default;

fs::path OutputFolder::pathOf(const std::string& name) const {
  return name.empty() ? root_ : root_ / manifestNamePath(name);
}

EntryKind OutputFolder::kind(const std::string& name) const {
  if (name.empty()) return EntryKind::folder;
  if (!wayIsPlain(root_, name)) return errno == ENOENT ? EntryKind::missing : EntryKind::blocked;
  return kindOf(GetFileAttributesW(pathOf(name).c_str()));
}

FilePtr OutputFolder::openRead(const std::string& name) const {
  if (!wayIsPlain(root_, name)) return nullptr;
  return streamOf(openRegular(pathOf(name), GENERIC_READ, OPEN_EXISTING), _O_RDONLY, "rb");
}

FilePtr OutputFolder::create(const std::string& name) const {
  if (!wayIsPlain(root_, name)) return nullptr;
  HANDLE handle = CreateFileW(pathOf(name).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    setErrnoFromWindows();
    return nullptr;
  }
  return streamOf(ScopedHandle(handle), _O_WRONLY, "wb");
}

FilePtr OutputFolder::openOrCreate(const std::string& name) const {
  if (!wayIsPlain(root_, name)) return nullptr;
  return streamOf(openRegular(pathOf(name), GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS), _O_RDWR,
                  "r+b");
}

bool OutputFolder::makeFolder(const std::string& name) const {
  if (!wayIsPlain(root_, name)) return false;
  if (CreateDirectoryW(pathOf(name).c_str(), nullptr)) return true;
  setErrnoFromWindows();
  return false;
}

bool OutputFolder::removeFile(const std::string& name) const {
  if (!wayIsPlain(root_, name)) return errno == ENOENT;
  fs::path path = pathOf(name);
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if (isFolder(attributes) && !isReparse(attributes)) {
    errno = EISDIR;
    return false;
  }
  // A link is removed itself, never what it points to.
  bool removed = isFolder(attributes) ? RemoveDirectoryW(path.c_str()) != 0
                                      : DeleteFileW(path.c_str()) != 0;
  if (!removed && GetLastError() != ERROR_FILE_NOT_FOUND) {
    setErrnoFromWindows();
    return false;
  }
  return true;
}

bool OutputFolder::removeFolder(const std::string& name) const {
  if (!wayIsPlain(root_, name)) return false;
  fs::path path = pathOf(name);
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (!isFolder(attributes) || isReparse(attributes)) {
    setErrnoFor(attributes);
    return false;
  }
  if (RemoveDirectoryW(path.c_str())) return true;
  setErrnoFromWindows();
  return false;
}

bool OutputFolder::removeTree(const std::string& name) const {
  if (!wayIsPlain(root_, name)) return errno == ENOENT;
  fs::path path = pathOf(name);
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if (!isFolder(attributes) || isReparse(attributes)) {
    setErrnoFor(attributes);
    return false;
  }
  if (emptyFolder(path, 0) && RemoveDirectoryW(path.c_str())) return true;
  setErrnoFromWindows();
  return false;
}

bool OutputFolder::replace(const std::string& from, const std::string& to) const {
  if (!wayIsPlain(root_, from) || !wayIsPlain(root_, to)) return false;
  fs::path source = pathOf(from), target = pathOf(to);
  if (kindOf(GetFileAttributesW(source.c_str())) != EntryKind::file) {
    setErrnoFor(GetFileAttributesW(source.c_str()));
    return false;
  }
  DWORD targetAttributes = GetFileAttributesW(target.c_str());
  EntryKind targetKind = kindOf(targetAttributes);
  if (targetKind != EntryKind::file && targetKind != EntryKind::missing) {
    setErrnoFor(targetAttributes);
    return false;
  }
  std::string narrowSource, narrowTarget;
  if (!narrowPath(source, &narrowSource) || !narrowPath(target, &narrowTarget)) {
    errno = EILSEQ;
    return false;
  }
  if (replaceFile(narrowSource, narrowTarget)) return true;
  setErrnoFromWindows();
  return false;
}

bool OutputFolder::hardLink(const std::string& existing, const std::string& name) const {
  if (!wayIsPlain(root_, existing) || !wayIsPlain(root_, name)) return false;
  fs::path source = pathOf(existing);
  DWORD attributes = GetFileAttributesW(source.c_str());
  if (kindOf(attributes) != EntryKind::file) {
    setErrnoFor(attributes);
    return false;
  }
  if (CreateHardLinkW(pathOf(name).c_str(), source.c_str(), nullptr)) return true;
  setErrnoFromWindows();
  return false;
}

bool OutputFolder::sync(const std::string& name) const {
  // Windows has no call that flushes a folder's entries alone; NTFS logs
  // each rename in its journal, so after a power cut it is there or not.
  if (name.empty() || kind(name) == EntryKind::folder) return true;
  if (!wayIsPlain(root_, name)) return false;
  ScopedHandle file = openRegular(pathOf(name), GENERIC_WRITE, OPEN_EXISTING);
  if (!file) return false;
  if (FlushFileBuffers(file.get())) return true;
  setErrnoFromWindows();
  return false;
}

bool OutputFolder::identity(const std::string& name, FileIdentity* identity) const {
  if (!name.empty() && !wayIsPlain(root_, name)) return false;
  HANDLE handle = CreateFileW(pathOf(name).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    setErrnoFromWindows();
    return false;
  }
  ScopedHandle file(handle);
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

std::vector<FolderEntry> OutputFolder::list(const std::string& name) const {
  std::vector<FolderEntry> entries;
  if (kind(name) != EntryKind::folder) return entries;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((pathOf(name) / L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return entries;
  std::unique_ptr<void, FindCloser> closer(search);
  do {
    std::wstring wide = found.cFileName;
    FolderEntry entry;
    if (wide == L"." || wide == L".." || !manifestNameOf(fs::path(wide), &entry.name)) continue;
    entry.kind = kindOf(found.dwFileAttributes);
    entries.push_back(entry);
  } while (FindNextFileW(search, &found));
  return entries;
}
