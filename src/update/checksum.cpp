#include <zlib.h>

#include "update/checksum.h"

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
