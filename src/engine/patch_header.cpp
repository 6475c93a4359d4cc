#include "engine/patch_header.h"

#include <cstring>

namespace {

constexpr char kMagic[4] = {'B', 'W', 'P', '1'};

void putLittleEndian(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
}

std::uint64_t getLittleEndian(const unsigned char* data, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | data[i];
  return value;
}

}  // namespace

std::string encodePatchHeader(const PatchHeader& header) {
  std::string out(kMagic, sizeof kMagic);
  putLittleEndian(out, header.baseLength, 8);
  putLittleEndian(out, header.targetLength, 8);
  putLittleEndian(out, header.targetCrc, 4);
  return out;
}

bool decodePatchHeader(const unsigned char* data, std::size_t size, PatchHeader* header) {
  if (size != kPatchHeaderSize || std::memcmp(data, kMagic, sizeof kMagic) != 0) return false;
  header->baseLength = getLittleEndian(data + 4, 8);
  header->targetLength = getLittleEndian(data + 12, 8);
  header->targetCrc = static_cast<std::uint32_t>(getLittleEndian(data + 20, 4));
  return true;
}
