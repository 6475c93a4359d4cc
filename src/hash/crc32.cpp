#include <zlib.h>

#include "hash/crc32.h"
#include "hash/file_reader.h"

std::uint32_t crc32ByTable(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  // zlib takes the length as uInt; a larger block goes in pieces.
  while (size > 0) {
    uInt piece = size > 0x40000000u ? 0x40000000u : static_cast<uInt>(size);
    crc = static_cast<std::uint32_t>(crc32(crc, data, piece));
    data += piece;
    size -= piece;
  }
  return crc;
}

bool crcOfFile(std::FILE* file, std::uint32_t* crc) {
  std::uint32_t sum = 0;
  bool read = readChunks(file, [&sum](const unsigned char* data, std::size_t size) {
    sum = crc32Update(sum, data, size);
  });
  *crc = sum;
  return read;
}
