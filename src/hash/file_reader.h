#pragma once

// The one way the project reads a file through for its sums: in chunks, so
// that memory stays flat whatever the file's size.

#include <cstddef>
#include <cstdio>
#include <functional>

// Large enough that reading stays at disk or page-cache speed, small enough
// that a 32-bit process sums a file of any size.
inline constexpr std::size_t kReadChunk = 256 * 1024;

using ChunkFn = std::function<void(const unsigned char* data, std::size_t size)>;

// Reads `file` from its position to its end, handing each chunk (at most
// kReadChunk bytes) to `consume`. False if a read failed.
bool readChunks(std::FILE* file, const ChunkFn& consume);
