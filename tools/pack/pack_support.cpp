#include "pack_support.h"

#include <cerrno>
#include <chrono>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "pack_platform.h"
#include "update/manifest.h"

namespace fs = std::filesystem;

std::string quotedName(const std::string& name) {
  return "\"" + printableForLog(name) + "\"";
}

std::string shown(const fs::path& path) {
  return quotedName(path.u8string());
}

std::string errnoText() {
  return std::generic_category().message(errno);
}

std::string signedCrc(std::uint32_t crc) {
  return std::to_string(static_cast<std::int32_t>(crc));
}

std::string randomSuffix() {
  static std::mt19937_64 generator(
      std::random_device{}() ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::ostringstream text;
  text << std::hex << generator();
  return text.str();
}

fs::file_status statusOf(const fs::path& path) {
  std::error_code ignored;
  return fs::symlink_status(path, ignored);
}

std::string narrowOrThrow(const fs::path& path) {
  std::string narrow;
  if (!narrowPath(path, &narrow)) {
    throw std::runtime_error(shown(path) + " cannot be written in the system's code page");
  }
  return narrow;
}
