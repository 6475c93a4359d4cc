#pragma once

// The application header every Brightwick patch carries in its VCDIFF header
// (RFC 3284 with xdelta3's application-header extension), so that a patch
// can be checked against its base before anything is written, and its result
// as a whole after the last window:
//
//   bytes 0-3    "BWP1"
//   bytes 4-11   length of the base (old) file, unsigned, little-endian
//   bytes 12-19  length of the target (new) file, unsigned, little-endian
//   bytes 20-23  CRC-32 of the target file (as zlib's crc32), little-endian
//
// The windows themselves are plain VCDIFF, each with xdelta3's Adler-32 of
// its target bytes (docs/formats.md, "VCDIFF as the publisher writes it").

#include <cstddef>
#include <cstdint>
#include <string>

struct PatchHeader {
  std::uint64_t baseLength = 0;
  std::uint64_t targetLength = 0;
  std::uint32_t targetCrc = 0;
};

inline constexpr std::size_t kPatchHeaderSize = 24;

// The header's bytes.
std::string encodePatchHeader(const PatchHeader& header);

// Reads a header from `size` bytes at `data`; false unless they are exactly
// one header of this version.
bool decodePatchHeader(const unsigned char* data, std::size_t size, PatchHeader* header);
