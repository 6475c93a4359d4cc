#pragma once

// How a signed publish tells a packed file it may stand behind from one
// someone planted. The served folder is writable by whoever holds the web
// server, and a size and CRC-32 are forged in a moment (scripts/forge-crc.py),
// so a signed publish believes a record (reuse_record.h) only when it carries
// a MAC made with a key derived from the signing key; without one, only a
// packed file that inflates to exactly the release file is believed.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "pack_support.h"
#include "reuse_record.h"
#include "signing.h"

// The records' MAC key, derived from the signing key and wiped when it goes.
class RecordKey {
 public:
  explicit RecordKey(const SecretKey& key);
  ~RecordKey();
  RecordKey(const RecordKey&) = delete;
  RecordKey& operator=(const RecordKey&) = delete;

  // The MAC of `name`'s record: HMAC-SHA-512-256 (crypto_auth) over the
  // record as formatRecords writes it, its "mac" line left out.
  std::array<unsigned char, 32> macOf(const std::string& name, const PackedRecord& record) const;
  // Whether `record` carries the MAC this key gives it.
  bool holds(const std::string& name, const PackedRecord& record) const;
  // Gives `record` its MAC.
  void seal(const std::string& name, PackedRecord& record) const;

 private:
  std::array<unsigned char, 32> key_;
};

// What inflating a packed file showed of both sides.
struct InflatedFile {
  // A complete zlib stream that inflates to at most the bound, with nothing
  // after it: what the updater inflates the same way.
  bool whole = false;
  // The packed file's size, CRC-32 and SHA-256, and those of its content.
  PackedRecord sums;
};

// Inflates the open zlib stream `packed` with `engine` into `into` (null:
// nowhere), stopping past `most` bytes of output; sums both sides on the
// way. Throws if `packed` cannot be read or `into` written.
InflatedFile inflateAndSum(std::FILE* packed, std::FILE* into, std::uint64_t most,
                           ProgressEngine& engine);
