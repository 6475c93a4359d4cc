#include "pack_support.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "hash/crc32.h"
#include "hash/file_reader.h"
#include "log/printable.h"
#include "pack_platform.h"
#include "platform/platform.h"
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

std::string hexCrc(std::uint32_t crc) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(crc));
  return text;
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

void measureFile(const fs::path& path, std::uint64_t* size, std::uint32_t* crc,
                 const std::function<void(std::uint64_t)>& onBytes, Sha256Digest* sha) {
  FilePtr in(openShared(narrowOrThrow(path), "rb"));
  measureStream(in.get(), path, size, crc, onBytes, sha);
}

void measureStream(std::FILE* in, const fs::path& path, std::uint64_t* size, std::uint32_t* crc,
                   const std::function<void(std::uint64_t)>& onBytes, Sha256Digest* sha) {
  if (!in) throw std::runtime_error("cannot read " + shown(path) + ": " + errnoText());
  std::uint64_t total = 0;
  std::uint32_t sum = 0;
  Sha256 hash;
  bool read = readChunks(in, [&](const unsigned char* data, std::size_t got) {
    sum = crc32Update(sum, data, got);
    if (sha) hash.update(data, got);
    total += got;
    if (onBytes) onBytes(total);
  });
  if (!read) throw std::runtime_error("cannot read " + shown(path) + ": " + errnoText());
  *size = total;
  *crc = sum;
  if (sha) *sha = hash.finish();
}

void writeWholeFile(const fs::path& path, const std::string& text) {
  writeWholeStream(openShared(narrowOrThrow(path), "wb"), path, text);
}

void writeWholeStream(FilePtr out, const fs::path& path, const std::string& text) {
  if (!out) throw std::runtime_error("cannot write " + shown(path) + ": " + errnoText());
  bool written = std::fwrite(text.data(), 1, text.size(), out.get()) == text.size();
  // The close flushes; a full disk may only show there.
  if (std::fclose(out.release()) != 0 || !written) {
    throw std::runtime_error("cannot write " + shown(path) + ": " + errnoText());
  }
}

std::string readWholeFile(const fs::path& path, std::uint64_t limit) {
  FilePtr in(openShared(narrowOrThrow(path), "rb"));
  return readWholeStream(in.get(), path, limit);
}

std::string readWholeStream(std::FILE* in, const fs::path& path, std::uint64_t limit) {
  if (!in) throw std::runtime_error("cannot read " + shown(path) + ": " + errnoText());
  std::int64_t length = fileLength(in);
  if (length < 0 || static_cast<std::uint64_t>(length) > limit) {
    throw std::runtime_error(shown(path) + " is larger than the " + std::to_string(limit) +
                             " bytes it can be");
  }
  std::string text(static_cast<std::size_t>(length), '\0');
  std::size_t got = std::fread(text.data(), 1, text.size(), in);
  if (std::ferror(in)) {
    throw std::runtime_error("cannot read " + shown(path) + ": " + errnoText());
  }
  text.resize(got);
  return text;
}
