#include <sys/stat.h>

#include "platform/game_folder.h"
#include "platform/running_program.h"

namespace {

FileIdentity identityOf(const struct stat& info) {
  FileIdentity identity;
  identity.known = true;
  identity.volume = static_cast<std::uint64_t>(info.st_dev);
  identity.index = static_cast<std::uint64_t>(info.st_ino);
  return identity;
}

}  // namespace

FileIdentity runningProgramFile() {
  // The kernel's link to the program's file: right whatever it is called,
  // and with no path to read back and grow a buffer for.
  struct stat info;
  if (stat("/proc/self/exe", &info) != 0) return FileIdentity();
  return identityOf(info);
}

FileIdentity gameFileIdentity(const std::string& name) {
  FilePtr file(openRegularFile(name));
  struct stat info;
  if (!file || fstat(fileno(file.get()), &info) != 0) return FileIdentity();
  return identityOf(info);
}
