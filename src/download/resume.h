#pragma once

// Resumed transfers. A listed file's transfer keeps what arrives in
// kPartialFile, beside a record (kPartialRecord) of what it is a part of: the
// file's name, its listed packed size, its SHA-256 when the manifest is
// signed, and the validator the server gave (ETag, or else Last-Modified).
// A transfer that is cut, by the network, the bounds, the player or a kill,
// leaves both behind, and a later transfer of the same published content
// continues it with a range request; anything else starts afresh. One part
// is kept at a time.
//
// The record, text with LF line ends:
//
//   brightwick-partial 1
//   name data/maps.pak
//   size 73400320
//   sha256 5f2b...       (64 hex digits; only for a signed manifest)
//   validator "5d8c72a5-4600000"
//
// It is written before the first byte of its part, so a part always belongs
// to its record.

#include <cstdint>
#include <string>

struct PartIdentity {
  std::string name;
  std::string packedSize;  // as the manifest line writes it
  std::string sha256;      // "" for an unsigned manifest
  bool operator==(const PartIdentity& other) const {
    return name == other.name && packedSize == other.packedSize && sha256 == other.sha256;
  }
};

struct KeptPart {
  PartIdentity identity;
  std::string validator;
  std::int64_t bytes = 0;  // in kPartialFile
};

// The kept part, if its record reads and its data is a regular file.
bool findKeptPart(KeptPart* part);

// Replaces whatever part is kept with a new, empty one of `identity`.
bool beginPart(const PartIdentity& identity, const std::string& validator);

// Removes the kept part and its record.
void discardPart();

// A transfer's progress is worth another try only if it brought at least
// this much; a drip of a few bytes is not.
inline constexpr std::int64_t kRetryMinimumProgress = 64 * 1024;
