#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// CRC-32 as zlib's crc32 computes it: `crc` continued over `size` bytes at
// `data` (start from 0). Always the same value as zlib's; on processors with
// carry-less multiplication it runs several times faster, which is most of
// the time a check of an up-to-date game takes.
std::uint32_t crc32Update(std::uint32_t crc, const unsigned char* data, std::size_t size);

// The same with zlib's tables alone: what crc32Update falls back to.
std::uint32_t crc32ByTable(std::uint32_t crc, const unsigned char* data, std::size_t size);

// The ways crc32Update may sum, in the order it prefers them last to first.
// It takes the widest the processor and the system support, so on any one
// machine the others would go untested; tests and benchmarks name them.
enum class CrcWay {
  table,   // zlib's tables: every processor
  fold16,  // carry-less multiplication, 16 bytes a step (PCLMULQDQ)
  fold32,  // the same, 32 bytes a step (VPCLMULQDQ with AVX2)
};

// Whether this processor and system can sum `way`.
bool crcWayAvailable(CrcWay way);

// crc32Update done `way`, which must be available. The same value always.
std::uint32_t crc32By(CrcWay way, std::uint32_t crc, const unsigned char* data, std::size_t size);

// CRC-32 (zlib's, from 0) of the open file from its position to its end;
// false if a read failed.
bool crcOfFile(std::FILE* file, std::uint32_t* crc);
