#include "hash/file_reader.h"

#include <cstdint>
#include <memory>

#include "platform/platform.h"

bool readChunks(std::FILE* file, const ChunkFn& consume) {
  const std::int64_t length = fileLength(file);
  // One byte more than a short file holds, so its end shows in one read.
  const std::size_t size = length >= 0 && length < static_cast<std::int64_t>(kReadChunk)
                               ? static_cast<std::size_t>(length) + 1
                               : kReadChunk;
  // Not zero-filled: every byte used is read first.
  std::unique_ptr<unsigned char[]> chunk(new unsigned char[size]);
  std::size_t got;
  while ((got = std::fread(chunk.get(), 1, size, file)) > 0) consume(chunk.get(), got);
  return !std::ferror(file);
}
