#include "support/temp_dir.h"

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

ScopedTempDir::ScopedTempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "brightwick-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
  path_ = pattern;
  previous_ = std::filesystem::current_path();
  std::filesystem::current_path(path_);
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
  // Tests make folders read-only; give them back before removing.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

bool fileExists(const std::filesystem::path& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

std::string makeBytes(std::size_t size, unsigned seed, bool compressible) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  static const char kWords[][8] = {"tdx ", "map ", "level ", "sprite ", "sound ", "\n"};
  if (compressible) {
    std::size_t at = 0;
    while (at < size) {
      const char* word = kWords[random() % 6];
      for (std::size_t i = 0; word[i] && at < size; ++i) bytes[at++] = word[i];
    }
  } else {
    for (char& c : bytes) c = static_cast<char>(random());
  }
  return bytes;
}

std::string zlibStream(const std::string& data, int level) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()),
                level) != Z_OK) {
    throw std::runtime_error("compress2");
  }
  out.resize(size);
  return out;
}

std::string crcText(const std::string& data) {
  uLong crc =
      crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
  return std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(crc)));
}

std::string manifestLine(const std::string& name, const std::string& data,
                         const std::string& packed) {
  return name + "," + std::to_string(packed.size()) + "," + std::to_string(data.size()) + "," +
         crcText(data);
}

Tree treeOf(const std::filesystem::path& folder, const std::string& skip) {
  namespace fs = std::filesystem;
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator();
       ++it) {
    std::string relative = fs::relative(it->path(), folder).string();
    if (relative == skip) {
      it.disable_recursion_pending();
      continue;
    }
    tree[relative] = it->is_directory() ? "<dir>" : readFile(it->path());
  }
  return tree;
}

void installStandInGame(const std::filesystem::path& folder) {
  writeFile(folder / "tdx.exe", "#!/bin/sh\npwd > game-started\necho started >> game-starts\n");
  std::filesystem::permissions(folder / "tdx.exe", std::filesystem::perms::owner_all |
                                                       std::filesystem::perms::group_read |
                                                       std::filesystem::perms::group_exec |
                                                       std::filesystem::perms::others_read |
                                                       std::filesystem::perms::others_exec);
}
