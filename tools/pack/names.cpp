#include "pack.h"
#include "pack_support.h"
#include "update/manifest.h"

std::string formatManifestLine(const std::string& name, std::int32_t packedSize,
                               std::int32_t unpackedSize, std::uint32_t crc) {
  return name + "," + std::to_string(packedSize) + "," + std::to_string(unpackedSize) + "," +
         signedCrc(crc);
}

std::string nameProblem(const std::string& name) {
  for (char c : name) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      return "holds a control character (a line break, for instance), which update.dat cannot "
             "carry";
    }
  }
  for (char c : name) {
    switch (c) {
      case ',':
        return "holds \",\", which separates the fields of update.dat";
      case ' ':
        return "holds a blank, which the updater's download URL cannot carry";
      case '#':
      case '?':
      case '%':
        return std::string("holds \"") + c +
               "\", which does not travel unchanged in the updater's download URL";
      case '\\':
        return "holds \"\\\", which Windows takes for a folder separator";
      case ':':
        return "holds \":\", which Windows takes for a drive or a stream";
      case '<':
      case '>':
      case '"':
      case '|':
      case '*':
        return std::string("holds \"") + c + "\", which Windows file names cannot";
      default:
        break;
    }
  }
  if (name.size() > kMaxNameLength) {
    return "is longer than the " + std::to_string(kMaxNameLength) + " bytes the updater accepts";
  }
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (end > start && name[end - 1] == '.') {
      return "has a part ending in \".\", which Windows drops";
    }
    start = end + 1;
  }
  if (!isSafeName(name)) {
    return "is refused by the updater: a device name (CON, NUL, COM1, ...) or one of the "
           "updater's own files";
  }
  return std::string();
}
