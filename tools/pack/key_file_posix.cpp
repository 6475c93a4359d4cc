#include <fcntl.h>
#include <unistd.h>

#include "signing.h"

std::FILE* createPrivateFile(const std::filesystem::path& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (!file) close(fd);
  return file;
}
