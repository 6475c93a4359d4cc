#pragma once

// What the parts of brightwick-pack share: file handles, the engine with a
// progress hook, and how files and errors are named in messages.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/file_ptr.h"
#include "engine/zlib_engine.h"
#include "hash/sha256.h"

// The engine with its progress hook wired to a callback, so that the display
// moves inside a large file too.
class ProgressEngine : public ZlibEngine {
 public:
  std::function<void(std::uint64_t)> onBytes;
  void reportProgress(int) override {
    if (onBytes) onBytes(total_in);
  }
};

// `name` in quotes, shortened and with control bytes made visible.
std::string quotedName(const std::string& name);
std::string shown(const std::filesystem::path& path);
// The message of the current errno.
std::string errnoText();
// The CRC as the signed decimal number the manifest carries.
std::string signedCrc(std::uint32_t crc);
// The CRC as 8 lower-case hex digits, as the publisher's own files hold it.
std::string hexCrc(std::uint32_t crc);

// Unpredictable enough that a scratch name collides with nothing but another
// run's, which the exclusive creation catches.
std::string randomSuffix();

// The status of `path` itself (a link is not followed); "not found" on error.
std::filesystem::file_status statusOf(const std::filesystem::path& path);

// Size and CRC-32 of the file `path`, read in chunks, calling `onBytes` (if
// set) with the bytes read so far after each; its SHA-256 as well where `sha`
// is set. Throws if it cannot be read.
void measureFile(const std::filesystem::path& path, std::uint64_t* size, std::uint32_t* crc,
                 const std::function<void(std::uint64_t)>& onBytes = {},
                 Sha256Digest* sha = nullptr);
// The same for the open file `in` (from its position), which `path` names in
// messages; throws if it is null or cannot be read.
void measureStream(std::FILE* in, const std::filesystem::path& path, std::uint64_t* size,
                   std::uint32_t* crc, const std::function<void(std::uint64_t)>& onBytes = {},
                   Sha256Digest* sha = nullptr);

// Writes `text` as the whole of the file `path`; throws if it cannot.
void writeWholeFile(const std::filesystem::path& path, const std::string& text);
// The whole of the file `path`; throws if it cannot be read or holds more
// than `limit` bytes.
std::string readWholeFile(const std::filesystem::path& path, std::uint64_t limit);
// The same for the open file `in`, which `path` names in messages.
std::string readWholeStream(std::FILE* in, const std::filesystem::path& path, std::uint64_t limit);
// Writes `text` to the open file `out` and closes it; throws if it cannot.
void writeWholeStream(FilePtr out, const std::filesystem::path& path, const std::string& text);

// `path` as the C runtime opens it; throws if the system's code page cannot
// carry it.
std::string narrowOrThrow(const std::filesystem::path& path);
