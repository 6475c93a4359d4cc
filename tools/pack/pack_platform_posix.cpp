#include <unistd.h>

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
