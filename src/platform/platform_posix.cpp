#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

FilePtr openShared(const std::string& path, const char* mode) {
  // POSIX never denies other processes access to an open file.
  return FilePtr(std::fopen(path.c_str(), mode));
}

std::int64_t fileLength(std::FILE* file) {
  struct stat info;
  if (!file || fstat(fileno(file), &info) != 0) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

bool seek(std::FILE* file, std::int64_t offset) {
  // off_t is 64 bits wide wherever the core builds: Linux on 64-bit
  // processors, or with _FILE_OFFSET_BITS=64.
  static_assert(sizeof(off_t) >= sizeof(std::int64_t), "off_t cannot hold file offsets");
  return file && offset >= 0 && fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool replaceFile(const std::string& from, const std::string& to) {
  // The new content reaches the disk before the name points at it, so that
  // a power cut leaves the old file or the new one, never an empty one.
  int source = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (source < 0) return false;
  bool synced = fdatasync(source) == 0;
  close(source);
  if (!synced) return false;

  // rename() would replace a read-only file in a writable folder; Windows
  // refuses that, and so must we, so that a file the player protected stays.
  struct stat info;
  if (lstat(to.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return false;
    int fd = open(to.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    close(fd);
    // The new content takes the old file's permissions: a game executable
    // must stay executable.
    if (S_ISREG(info.st_mode) && chmod(from.c_str(), info.st_mode & 07777) != 0) return false;
  }
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool localTimeOf(std::time_t when, std::tm* out) {
  return localtime_r(&when, out) != nullptr;
}

void quickExit(int code) {
  _exit(code);
}
