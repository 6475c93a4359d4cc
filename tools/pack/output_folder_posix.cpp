#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

#include "output_folder.h"
#include "pack_support.h"

namespace {

// Owns a descriptor, or borrows one (the output folder's own).
class Fd {
 public:
  explicit Fd(int fd = -1, bool owned = true) : fd_(fd), owned_(owned) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.fd_), owned_(other.owned_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.fd_;
      owned_ = other.owned_;
      other.fd_ = -1;
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  void reset() {
    if (fd_ >= 0 && owned_) close(fd_);
    fd_ = -1;
  }
  int fd_;
  bool owned_;
};

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

bool isPlainComponent(const std::string& component) {
  return !component.empty() && component != "." && component != "..";
}

// The folder holding `name`'s last component (in `leaf`), entered from
// `root` one folder at a time without following a link. Invalid, with errno
// set (ELOOP for a link on the way), when the way is blocked.
Fd parentOf(int root, const std::string& name, std::string* leaf) {
  Fd dir(root, false);
  std::size_t start = 0;
  for (std::size_t slash; (slash = name.find('/', start)) != std::string::npos; start = slash + 1) {
    std::string component = name.substr(start, slash - start);
    if (!isPlainComponent(component)) {
      errno = EINVAL;
      return Fd();
    }
    Fd next(openat(dir.get(), component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      int error = errno;
      struct stat info;
      if (fstatat(dir.get(), component.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(info.st_mode)) {
        error = ELOOP;
      }
      errno = error;
      return Fd();
    }
    dir = std::move(next);
  }
  *leaf = name.substr(start);
  if (!isPlainComponent(*leaf)) {
    errno = EINVAL;
    return Fd();
  }
  return dir;
}

EntryKind kindOf(const struct stat& info) {
  if (S_ISREG(info.st_mode)) return EntryKind::file;
  if (S_ISDIR(info.st_mode)) return EntryKind::folder;
  if (S_ISLNK(info.st_mode)) return EntryKind::link;
  return EntryKind::other;
}

// errno for something at a name that is not the regular file wanted.
int errorFor(const struct stat& info) {
  return S_ISLNK(info.st_mode) ? ELOOP : S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
}

// Opens the regular file `leaf` in `dir` with `flags`, if it is one both
// before (so that a FIFO never blocks the open) and after (a swap between
// the two).
Fd openRegular(const Fd& dir, const std::string& leaf, int flags, mode_t mode) {
  struct stat before;
  bool exists = fstatat(dir.get(), leaf.c_str(), &before, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && !S_ISREG(before.st_mode)) {
    errno = errorFor(before);
    return Fd();
  }
  if (!exists && (flags & O_CREAT) == 0) {
    errno = ENOENT;
    return Fd();
  }
  Fd fd(openat(dir.get(), leaf.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
               mode));
  struct stat after;
  if (!fd.valid()) return Fd();
  if (fstat(fd.get(), &after) != 0 || !S_ISREG(after.st_mode)) {
    errno = EINVAL;
    return Fd();
  }
  fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// Larger stdio buffers than the engine's 4096-byte reads and writes, as the
// engine's own files have.
constexpr std::size_t kStreamBuffer = 64 * 1024;

FilePtr streamOf(Fd fd, const char* mode) {
  if (!fd.valid()) return nullptr;
  FilePtr file(fdopen(fd.get(), mode));
  if (!file) return nullptr;
  fd.release();
  std::setvbuf(file.get(), nullptr, _IOFBF, kStreamBuffer);
  return file;
}

// Empties the folder `dir` and what it holds, never entering a link.
bool emptyFolder(int dir, int depth) {
  if (depth > 64) {
    errno = ELOOP;
    return false;
  }
  // A descriptor of its own: a duplicate would share the position.
  int listing = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return false;
  std::unique_ptr<DIR, DirCloser> entries(fdopendir(listing));
  if (!entries) {
    close(listing);
    return false;
  }
  bool emptied = true;
  while (dirent* entry = readdir(entries.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info;
    if (fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      Fd inner(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      emptied = inner.valid() && emptyFolder(inner.get(), depth + 1) &&
                unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 && emptied;
    } else {
      emptied = unlinkat(dir, name.c_str(), 0) == 0 && emptied;
    }
  }
  return emptied;
}

}  // namespace

OutputFolder::OutputFolder(const std::filesystem::path& root) : root_(root) {
  handle_ = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (handle_ < 0) throw std::runtime_error("cannot open " + shown(root) + ": " + errnoText());
}

OutputFolder::~OutputFolder() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

std::filesystem::path OutputFolder::pathOf(const std::string& name) const {
  return name.empty() ? root_ : root_ / name;
}

EntryKind OutputFolder::kind(const std::string& name) const {
  if (name.empty()) return EntryKind::folder;
  std::string leaf;
  Fd dir = parentOf(static_cast<int>(handle_), name, &leaf);
  if (!dir.valid()) return errno == ENOENT ? EntryKind::missing : EntryKind::blocked;
  struct stat info;
  if (fstatat(dir.get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::missing;
  return kindOf(info);
}

FilePtr OutputFolder::openRead(const std::string& name) const {
  std::string leaf;
  Fd dir = parentOf(static_cast<int>(handle_), name, &leaf);
  if (!dir.valid()) return nullptr;
  return streamOf(openRegular(dir, leaf, O_RDONLY, 0), "rb");
}

FilePtr OutputFolder::create(const std::string& name) const {
  std::string leaf;
  Fd dir = parentOf(static_cast<int>(handle_), name, &leaf);
  if (!dir.valid()) return nullptr;
  return streamOf(Fd(openat(dir.get(), leaf.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666)),
                  "wb");
}

FilePtr OutputFolder::openOrCreate(const std::string& name) const {
  std::string leaf;
  Fd dir = parentOf(static_cast<int>(handle_), name, &leaf);
  if (!dir.valid()) return nullptr;
  return streamOf(openRegular(dir, leaf, O_RDWR | O_CREAT, 0644), "r+b");
}

bool OutputFolder::makeFolder(const std::string& name) const {
  std::string leaf;
  Fd dir = parentOf(static_cast<int>(handle_), name, &leaf);
  return dir.valid() && mkdirat(dir.get(), leaf.c_str(), 0777) == 0;
}

bool OutputFolder::removeFile(const std::string& name) const {
  std::string leaf;
  Fd dir = parentOf(static_cast<int>(handle_), name, &leaf);
  if (!dir.valid()) return errno == ENOENT;
  struct stat info;
  if (fstatat(dir.get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return false;
  }
  return unlinkat(dir.get(), leaf.c_str(), 0) == 0 || errno == ENOENT;
}

bool OutputFolder::removeFolder(const std::string& name) const {
  std::string leaf;
  Fd dir = parentOf(static_cast<int>(handle_), name, &leaf);
  return dir.valid() && unlinkat(dir.get(), leaf.c_str(), AT_REMOVEDIR) == 0;
}

bool OutputFolder::removeTree(const std::string& name) const {
  std::string leaf;
  Fd dir = parentOf(static_cast<int>(handle_), name, &leaf);
  if (!dir.valid()) return errno == ENOENT;
  struct stat info;
  if (fstatat(dir.get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(info.st_mode)) {
    errno = errorFor(info);
    return false;
  }
  Fd inner(openat(dir.get(), leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return inner.valid() && emptyFolder(inner.get(), 0) &&
         unlinkat(dir.get(), leaf.c_str(), AT_REMOVEDIR) == 0;
}

bool OutputFolder::replace(const std::string& from, const std::string& to) const {
  std::string fromLeaf, toLeaf;
  Fd fromDir = parentOf(static_cast<int>(handle_), from, &fromLeaf);
  if (!fromDir.valid()) return false;
  Fd toDir = parentOf(static_cast<int>(handle_), to, &toLeaf);
  if (!toDir.valid()) return false;
  // The new content reaches the disk before the name points at it, so that
  // a power cut leaves the old file or the new one, never an empty one.
  Fd source = openRegular(fromDir, fromLeaf, O_RDONLY, 0);
  if (!source.valid() || fdatasync(source.get()) != 0) return false;
  struct stat info;
  if (fstatat(toDir.get(), toLeaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(info.st_mode)) {
      errno = errorFor(info);
      return false;
    }
    // rename() would replace a read-only file in a writable folder; Windows
    // refuses that, and so does the publisher everywhere.
    Fd probe(openat(toDir.get(), toLeaf.c_str(),
                    O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!probe.valid()) return false;
    if (fchmod(source.get(), info.st_mode & 07777) != 0) return false;
  }
  return renameat(fromDir.get(), fromLeaf.c_str(), toDir.get(), toLeaf.c_str()) == 0;
}

bool OutputFolder::hardLink(const std::string& existing, const std::string& name) const {
  std::string existingLeaf, leaf;
  Fd existingDir = parentOf(static_cast<int>(handle_), existing, &existingLeaf);
  if (!existingDir.valid()) return false;
  Fd dir = parentOf(static_cast<int>(handle_), name, &leaf);
  if (!dir.valid()) return false;
  struct stat info;
  if (fstatat(existingDir.get(), existingLeaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    errno = errorFor(info);
    return false;
  }
  return linkat(existingDir.get(), existingLeaf.c_str(), dir.get(), leaf.c_str(), 0) == 0;
}

bool OutputFolder::sync(const std::string& name) const {
  if (name.empty()) return fsync(static_cast<int>(handle_)) == 0;
  std::string leaf;
  Fd dir = parentOf(static_cast<int>(handle_), name, &leaf);
  if (!dir.valid()) return false;
  Fd fd(openat(dir.get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  return fd.valid() && fsync(fd.get()) == 0;
}

bool OutputFolder::identity(const std::string& name, FileIdentity* identity) const {
  struct stat info;
  if (name.empty()) {
    if (fstat(static_cast<int>(handle_), &info) != 0) return false;
  } else {
    std::string leaf;
    Fd dir = parentOf(static_cast<int>(handle_), name, &leaf);
    if (!dir.valid() || fstatat(dir.get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      return false;
    }
  }
  identity->volume = static_cast<std::uint64_t>(info.st_dev);
  identity->index = static_cast<std::uint64_t>(info.st_ino);
  return true;
}

std::vector<FolderEntry> OutputFolder::list(const std::string& name) const {
  std::vector<FolderEntry> entries;
  Fd folder;
  if (name.empty()) {
    folder = Fd(static_cast<int>(handle_), false);
  } else {
    std::string leaf;
    Fd dir = parentOf(static_cast<int>(handle_), name, &leaf);
    if (!dir.valid()) return entries;
    folder = Fd(openat(dir.get(), leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) return entries;
  }
  int listing = openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return entries;
  std::unique_ptr<DIR, DirCloser> dir(fdopendir(listing));
  if (!dir) {
    close(listing);
    return entries;
  }
  while (dirent* entry = readdir(dir.get())) {
    FolderEntry listed;
    listed.name = entry->d_name;
    if (listed.name == "." || listed.name == "..") continue;
    struct stat info;
    if (fstatat(folder.get(), listed.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    listed.kind = kindOf(info);
    entries.push_back(listed);
  }
  return entries;
}
