#pragma once

// Served folders signed with the tests' keys (tests/data/signing-*.key), as
// `brightwick-pack publish --sign` makes them: a fifth field with each packed
// file's SHA-256, and update.dat.sig.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "signing.h"
#include "support/http_server.h"

// The test key `name` ("old" or "new"; both are built into
// brightwick-updater-test-keys), or a fresh one no updater knows ("other").
std::unique_ptr<SecretKey> testKey(const std::string& name);
PublicKey testPublicKey(const std::string& name);
// A copy of the test key `name` ("old" or "new") and its .pub in `folder`,
// so that what a signed publish keeps beside its key (KEY_FILE.state) stays
// with the test; the copied secret key's path.
std::filesystem::path copyTestKey(const std::string& name, const std::filesystem::path& folder);

// SHA-256 of `bytes` in hex.
std::string sha256Text(const std::string& bytes);

struct SignedFolder {
  std::map<std::string, Reply> files;
  std::string manifest;

  // Serves `data` packed as `packed` (default: zlibStream(data)) under
  // `name`, with its signed line.
  void add(const std::string& name, const std::string& data, const std::string& packed = "");
  // Serves the manifest and its signature by `key` with `serial`.
  void sign(const SecretKey& key, std::uint64_t serial);
};

// Every file below `out` (a folder brightwick-pack published), served under
// its relative name as a web server would: ranges, ETags.
std::map<std::string, Reply> servedFolder(const std::filesystem::path& out);

// `data` with its last four bytes changed so that its CRC-32 is `crc`: what
// anyone can do to a file a CRC is all that protects.
std::string withCrc(std::string data, std::uint32_t crc);
