#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <initializer_list>

#include "pack_platform.h"

bool isTerminal(std::FILE* stream) {
  return isatty(fileno(stream)) == 1;
}

// Paths are bytes here; whatever the folder holds can be opened by its bytes.
bool narrowPath(const std::filesystem::path& path, std::string* narrow) {
  *narrow = path.native();
  return true;
}

bool manifestNameOf(const std::filesystem::path& relative, std::string* name) {
  *name = relative.generic_string();
  return true;
}

std::filesystem::path manifestNamePath(const std::string& name) {
  return std::filesystem::path(name);
}

// The file systems where this runs tell names apart byte by byte.
std::string fileSystemKey(const std::string& name) {
  return name;
}

std::filesystem::path pathArgument(int, const char* narrow) {
  return std::filesystem::path(narrow);
}

bool fileIdentity(const std::filesystem::path& path, FileIdentity* identity) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  identity->volume = static_cast<std::uint64_t>(info.st_dev);
  identity->index = static_cast<std::uint64_t>(info.st_ino);
  return true;
}

bool syncToDisk(const std::filesystem::path& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

FilePtr openDiscard() {
  return FilePtr(std::fopen("/dev/null", "wb"));
}

void onInterruptRequest(void (*handler)(int)) {
  // A dropped SSH session hangs up the terminal: that too must end the run
  // through the undo, not in the middle of it.
  for (int number : {SIGINT, SIGTERM, SIGHUP}) std::signal(number, handler);
}
