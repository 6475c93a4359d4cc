#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/names.h"
#include "platform/game_folder.h"
#include "platform/platform.h"

namespace {

// Owns a descriptor; AT_FDCWD, the game folder itself, is held but never
// closed.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) close(fd_);
      fd_ = other.release();
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0 || fd_ == AT_FDCWD; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// The folder that holds `name`, entered one component at a time without
// following links, and the last component in `leaf`. Invalid, with `why`
// set, when the way is blocked.
Fd openParent(const std::string& name, std::string* leaf, PathKind* why) {
  // The run's working folder is the game folder: most names (the scratch
  // files, files at the top) need no descriptor of their own for it.
  Fd dir(AT_FDCWD);
  std::size_t start = 0;
  for (std::size_t slash; (slash = name.find('/', start)) != std::string::npos; start = slash + 1) {
    std::string component = name.substr(start, slash - start);
    if (component.empty() || component == ".") continue;
    Fd next(openat(dir.get(), component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      struct stat info;
      bool link = fstatat(dir.get(), component.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                  S_ISLNK(info.st_mode);
      *why = link ? PathKind::throughLink : PathKind::missing;
      return Fd();
    }
    dir = std::move(next);
  }
  *leaf = name.substr(start);
  if (leaf->empty()) *leaf = ".";
  return dir;
}

PathKind kindOf(const struct stat& info) {
  if (S_ISREG(info.st_mode)) return PathKind::regular;
  if (S_ISDIR(info.st_mode)) return PathKind::folder;
  return PathKind::special;
}

// Opens `name` with `flags` (plus no-follow and non-blocking) if it is a
// regular file both before and once opened; -1 otherwise. The check before
// keeps a device from ever being opened; the one after catches a swap.
Fd openRegular(const std::string& name, int flags, mode_t mode) {
  std::string leaf;
  PathKind why;
  Fd dir = openParent(name, &leaf, &why);
  if (!dir.valid()) return Fd();
  struct stat before;
  bool exists = fstatat(dir.get(), leaf.c_str(), &before, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && !S_ISREG(before.st_mode)) return Fd();
  if (!exists && (flags & O_CREAT) == 0) return Fd();
  Fd fd(openat(dir.get(), leaf.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
               mode));
  struct stat after;
  if (!fd.valid() || fstat(fd.get(), &after) != 0 || !S_ISREG(after.st_mode)) return Fd();
  // Reads and writes of a regular file block as usual from here on.
  fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

FilePtr streamOf(Fd fd, const char* mode) {
  if (!fd.valid()) return nullptr;
  FilePtr file(fdopen(fd.get(), mode));
  if (file) fd.release();
  return file;
}

}  // namespace

PathKind inspectPath(const std::string& name) {
  std::string leaf;
  PathKind why;
  Fd dir = openParent(name, &leaf, &why);
  if (!dir.valid()) return why;
  struct stat info;
  if (fstatat(dir.get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return PathKind::missing;
  return kindOf(info);
}

FilePtr openRegularFile(const std::string& name) {
  return streamOf(openRegular(name, O_RDONLY, 0), "rb");
}

FilePtr createNewFile(const std::string& name) {
  std::string leaf;
  PathKind why;
  Fd dir = openParent(name, &leaf, &why);
  if (!dir.valid()) return nullptr;
  return streamOf(Fd(openat(dir.get(), leaf.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666)),
                  "wb");
}

FilePtr openForAppending(const std::string& name) {
  return streamOf(openRegular(name, O_WRONLY | O_APPEND | O_CREAT, 0666), "ab");
}

bool removeFile(const std::string& name) {
  std::string leaf;
  PathKind why;
  Fd dir = openParent(name, &leaf, &why);
  if (!dir.valid()) return why == PathKind::missing;
  struct stat info;
  if (fstatat(dir.get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (S_ISDIR(info.st_mode)) return false;
  return unlinkat(dir.get(), leaf.c_str(), 0) == 0 || errno == ENOENT;
}

bool replaceGameFile(const std::string& from, const std::string& to) {
  std::string leaf;
  PathKind why;
  Fd dir = openParent(to, &leaf, &why);
  if (!dir.valid()) return false;
  // The new content reaches the disk before the name points at it, so that
  // a power cut leaves the old file or the new one, never an empty one.
  Fd source(open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  if (!source.valid() || fdatasync(source.get()) != 0) return false;

  struct stat info;
  if (fstatat(dir.get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(info.st_mode)) return false;
    // rename() would replace a read-only file in a writable folder; Windows
    // refuses that, and so must we, so that a file the player protected
    // stays.
    Fd probe(
        openat(dir.get(), leaf.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!probe.valid()) return false;
    // The new content takes the old file's permissions: a game executable
    // must stay executable.
    if (fchmod(source.get(), info.st_mode & 07777) != 0) return false;
  }
  return renameat(AT_FDCWD, from.c_str(), dir.get(), leaf.c_str()) == 0;
}

bool makeFolders(const std::string& name) {
  Fd dir(AT_FDCWD);
  std::size_t start = 0;
  for (std::size_t slash; (slash = name.find('/', start)) != std::string::npos; start = slash + 1) {
    std::string component = name.substr(start, slash - start);
    if (component.empty() || component == ".") continue;
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    Fd next(openat(dir.get(), component.c_str(), flags));
    if (!next.valid() && errno == ENOENT) {
      // Another process may make it at the same moment: the open after
      // decides, and takes only a real folder.
      if (mkdirat(dir.get(), component.c_str(), 0777) != 0 && errno != EEXIST) return false;
      next = Fd(openat(dir.get(), component.c_str(), flags));
    }
    if (!next.valid()) return false;
    dir = std::move(next);
  }
  return true;
}

SetAside setAsideGameFile(const std::string& name, const std::string& aside) {
  std::string leaf, asideLeaf;
  PathKind why;
  Fd dir = openParent(name, &leaf, &why);
  Fd asideDir = openParent(aside, &asideLeaf, &why);
  if (!dir.valid() || !asideDir.valid()) return SetAside::refused;
  struct stat info;
  if (fstatat(dir.get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
    return SetAside::refused;
  }
  // The refusal of replaceGameFile for a file the player protected. A
  // running program refuses writing (ETXTBSY) only after its permissions
  // allowed it.
  Fd probe(
      openat(dir.get(), leaf.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!probe.valid() && errno != ETXTBSY) return SetAside::refused;
  if (linkat(dir.get(), leaf.c_str(), asideDir.get(), asideLeaf.c_str(), 0) == 0) {
    return SetAside::linked;
  }
  if (errno == EEXIST) return SetAside::refused;
  // A file system without links (FAT, for one) moves it, as Windows does.
  if (fstatat(asideDir.get(), asideLeaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    return SetAside::refused;
  }
  return renameat(dir.get(), leaf.c_str(), asideDir.get(), asideLeaf.c_str()) == 0
             ? SetAside::moved
             : SetAside::refused;
}

bool renameGameFile(const std::string& from, const std::string& to) {
  std::string fromLeaf, toLeaf;
  PathKind why;
  Fd fromDir = openParent(from, &fromLeaf, &why);
  Fd toDir = openParent(to, &toLeaf, &why);
  if (!fromDir.valid() || !toDir.valid()) return false;
  struct stat info;
  if (fstatat(fromDir.get(), fromLeaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(info.st_mode) ||
      fstatat(toDir.get(), toLeaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    return false;
  }
  return renameat(fromDir.get(), fromLeaf.c_str(), toDir.get(), toLeaf.c_str()) == 0;
}

bool replaceProgramFile(const std::string& from, const std::string& to, const std::string& like) {
  std::string leaf, likeLeaf;
  PathKind why;
  Fd dir = openParent(to, &leaf, &why);
  Fd likeDir = openParent(like, &likeLeaf, &why);
  if (!dir.valid() || !likeDir.valid()) return false;
  struct stat info;
  if (fstatat(dir.get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(info.st_mode)) {
    return false;
  }
  struct stat old;
  if (fstatat(likeDir.get(), likeLeaf.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(old.st_mode)) {
    return false;
  }
  // On the disk before the name points at it, as in replaceGameFile.
  Fd source(open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  if (!source.valid() || fdatasync(source.get()) != 0 ||
      fchmod(source.get(), old.st_mode & 07777) != 0) {
    return false;
  }
  // Renaming over a running program's file is allowed: the process keeps
  // the old file, now without a name, until it ends.
  return renameat(AT_FDCWD, from.c_str(), dir.get(), leaf.c_str()) == 0;
}

std::int64_t freeDiskSpace() {
  struct statvfs info;
  if (statvfs(".", &info) != 0) return -1;
  return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
}

FolderLock lockGameFolder() {
  Fd fd = openRegular(kLockFile, O_RDWR | O_CREAT, 0666);
  if (!fd.valid()) return FolderLock::unavailable;
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    return errno == EWOULDBLOCK ? FolderLock::busy : FolderLock::unavailable;
  }
  // Held until the process exits; close-on-exec keeps the game from
  // inheriting it.
  fd.release();
  return FolderLock::held;
}
