#include "update/checksum.h"

std::uint32_t crc32Update(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  return crc32ByTable(crc, data, size);
}
