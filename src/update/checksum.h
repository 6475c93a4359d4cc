#pragma once

#include <cstddef>
#include <cstdint>

// CRC-32 as zlib's crc32 computes it: `crc` continued over `size` bytes at
// `data` (start from 0). Always the same value as zlib's; on processors with
// carry-less multiplication it runs several times faster, which is most of
// the time a check of an up-to-date game takes.
std::uint32_t crc32Update(std::uint32_t crc, const unsigned char* data, std::size_t size);

// The same with zlib's tables alone: what crc32Update falls back to.
std::uint32_t crc32ByTable(std::uint32_t crc, const unsigned char* data, std::size_t size);
