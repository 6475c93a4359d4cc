#include "hash/file_reader.h"

#include <memory>

namespace {

// Most files of a game are small: their sums start with a buffer that needs
// no fresh pages, and only a file that fills it gets the large one.
constexpr std::size_t kFirstChunk = 64 * 1024;

}  // namespace

bool readChunks(std::FILE* file, const ChunkFn& consume) {
  // Not zero-filled: every byte used is read first.
  std::size_t size = kFirstChunk;
  std::unique_ptr<unsigned char[]> chunk(new unsigned char[size]);
  std::size_t got;
  while ((got = std::fread(chunk.get(), 1, size, file)) > 0) {
    consume(chunk.get(), got);
    if (got == size && size < kReadChunk) {
      size = kReadChunk;
      chunk.reset(new unsigned char[size]);
    }
  }
  return !std::ferror(file);
}
