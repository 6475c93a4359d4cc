#include "hash/crc32.h"

bool crcWayAvailable(CrcWay way) {
  return way == CrcWay::table;
}

std::uint32_t crc32By(CrcWay, std::uint32_t crc, const unsigned char* data, std::size_t size) {
  return crc32ByTable(crc, data, size);
}

std::uint32_t crc32Update(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  return crc32ByTable(crc, data, size);
}
