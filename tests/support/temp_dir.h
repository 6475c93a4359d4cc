#pragma once

// A fresh folder under the system's temporary folder for one test, made the
// current folder while the test runs, and removed with everything in it at
// the end.

#include <filesystem>
#include <map>
#include <string>

class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
};

// Every file and folder below `folder` (relative name -> content, "<dir>" for
// a folder), leaving out the entry named `skip` and what it holds.
using Tree = std::map<std::string, std::string>;
Tree treeOf(const std::filesystem::path& folder, const std::string& skip = "");

// A stand-in "tdx.exe" in `folder` that, when started, writes the folder it
// was started in to "game-started" and adds a line to "game-starts".
void installStandInGame(const std::filesystem::path& folder = ".");

// Whole-file helpers for test data.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);
bool fileExists(const std::filesystem::path& path);
// Deterministic bytes: `size` bytes from `seed`; `compressible` makes text-like
// data, otherwise noise that deflate cannot shrink.
std::string makeBytes(std::size_t size, unsigned seed, bool compressible);
// A zlib stream of `data` made by zlib's own compress2, independent of the
// engine under test.
std::string zlibStream(const std::string& data, int level = 9);
// CRC-32 of `data` as the signed decimal text a manifest carries.
std::string crcText(const std::string& data);
// "name,packedSize,unpackedSize,checksum" for `data` served as `packed`.
std::string manifestLine(const std::string& name, const std::string& data,
                         const std::string& packed);
