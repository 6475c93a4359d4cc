#pragma once

// What the publisher knows of each packed file it made, kept in
// update.d/records and moved into place by the same commit as the packed
// files (journal.h): the packed file's size and CRC-32, and the size and
// CRC-32 of the bytes that went into it. A later publish reuses a packed file
// only when the release file and the packed file both still match their
// record, so a packed file of another version (the same size at level 0)
// is never listed for this one. Stored on servers; docs/formats.md
// describes the format:
//
//   brightwick-records 1
//
//   name maps/town.map
//   packed-size 48213
//   packed-crc32 5a0c9e11
//   size 131072
//   crc32 c0ffee00
//   sha256 <64 hex digits>            (signed publishes)
//   packed-sha256 <64 hex digits>     (signed publishes)
//   previous 120000 0badf00d <64 hex> (publishes with patches; newest first)
//   mac <64 hex digits>               (signed publishes; last)
//
// One "key value" line each (the value is the rest of the line), a "name"
// line starting each file's record.
// Readers skip keys they do not know, so later versions may add some (such as
// SHA-256 sums) without a new format number; a record lacking a key this
// version needs is not used. "mac" binds a record to the studio's signing
// key (record_proof.h): the served folder is anyone's to write who holds the
// server, so a signed publish believes only what the key vouches for.

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "hash/sha256.h"

inline constexpr int kRecordsFormat = 1;
// Far beyond what the records of a manifest within the updater's bound take.
inline constexpr std::uint64_t kRecordsBound = std::uint64_t{1} << 30;

// An earlier version of a file, as installed.
struct VersionRecord {
  std::int32_t size = -1;
  std::uint32_t crc = 0;
  Sha256Digest sha{};
  bool operator==(const VersionRecord& other) const {
    return size == other.size && crc == other.crc && sha == other.sha;
  }
};

struct PackedRecord {
  std::int32_t packedSize = -1;
  std::uint32_t packedCrc = 0;
  std::int32_t size = -1;
  std::uint32_t crc = 0;
  // SHA-256 of the content and of the packed file ("sha256",
  // "packed-sha256"), kept by signed publishes.
  bool hasSha = false;
  Sha256Digest sha{};
  Sha256Digest packedSha{};
  // The versions published before this one, newest first ("previous SIZE
  // CRC32 SHA256", one line each), kept by publishes that make patches.
  std::vector<VersionRecord> previous;
  // A MAC over everything above with a key derived from the signing key
  // ("mac"), kept by signed publishes.
  bool hasMac = false;
  std::array<unsigned char, 32> mac{};
  // Not stored: whether the MAC held with this publish's key when read.
  bool proven = false;
};

// Manifest name -> record.
using PackedRecords = std::map<std::string, PackedRecord>;

std::string formatRecords(const PackedRecords& records);
// One record's lines as formatRecords writes them, without its "mac" line:
// what the MAC covers.
std::string recordText(const std::string& name, const PackedRecord& record);

// The records `text` holds. An unknown format, or text that is not records
// at all, gives none and a `warning`: every file is then packed again, which
// is slow but never wrong.
PackedRecords parseRecords(const std::string& text, std::string* warning);
