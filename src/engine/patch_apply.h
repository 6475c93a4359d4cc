#pragma once

// Applies a binary delta patch (brightwick-pack's VCDIFF, patch_header.h)
// to a base file, in memory that stays the same whatever the files' sizes: a
// 32-bit updater patches a 2 GB file without ever holding it.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

struct PatchOutcome {
  bool ok = false;
  std::int64_t size = 0;        // bytes written to the output
  std::uint32_t crc = 0;        // CRC-32 of those bytes
  std::string error;            // why it failed; empty on success
  std::uint64_t baseReads = 0;  // blocks read from the base, a block read again counted again
};

// How the base is read: in blocks of `blockSize` bytes (a power of two, at
// least 512), of which the `blockCount` used last stay in memory. A window's
// copies read the base mostly in order; the default holds 4 MiB of it.
struct BaseCache {
  std::uint32_t blockSize = 256u << 10;
  int blockCount = 16;
};

// Most memory the decoder itself may hold at once (the target window of at
// most 16 MiB, the patch's sections), besides the base cache. A patch that
// declares more fails before anything of it is allocated.
inline constexpr std::uint64_t kPatchDecoderMemory = 40u << 20;

// Applies the patch read from `patch` (from its position to its end) to the
// whole of `base` (read at any offset through seeks), writing the result to
// `output` at its position as it is produced; the caller opens the three and
// closes them. The base must be the file the patch was made from: its length
// and every window's Adler-32 are checked, and at the end the result's
// length and CRC-32 against the patch's header.
//
// Fails, with an error saying why, on a corrupt, truncated or foreign patch,
// on a wrong base and on a failed read or write; before anything is written
// if the result would pass `outputLimit` bytes (the patch's header gives its
// length, and a window that would go past that fails before it is decoded);
// and at the next window or base block once `*stop` becomes true (`stop` may
// be null). Whatever was written by then stays in `output`: the caller
// discards it.
PatchOutcome applyPatch(std::FILE* base, std::FILE* patch, std::FILE* output,
                        std::uint64_t outputLimit, const std::atomic<bool>* stop,
                        const BaseCache& cache = BaseCache());

// The same for a patch served as one zlib stream of those bytes, inflated as
// it is read; the stream must end the file. Memory grows only by zlib's
// window and a buffer.
PatchOutcome applyZlibPatch(std::FILE* base, std::FILE* patch, std::FILE* output,
                            std::uint64_t outputLimit, const std::atomic<bool>* stop,
                            const BaseCache& cache = BaseCache());
