#include "update/bundle_index.h"

#include <cstdio>
#include <sstream>

#include "base/names.h"
#include "update/manifest.h"

namespace {

constexpr char kBundleFolder[] = "bundles/";
constexpr std::size_t kBundleNameLength = 64 + 7;  // hex digits and ".bundle"

bool isPlainNumber(const std::string& text, std::int64_t most, std::int64_t* value) {
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) return false;
  if (text.find_first_not_of("0123456789") != std::string::npos) return false;
  // Nineteen digits can pass INT64_MAX: no conversion that throws or wraps.
  std::int64_t number = 0;
  for (char digit : text) {
    if (number > (most - (digit - '0')) / 10) return false;
    number = number * 10 + (digit - '0');
  }
  *value = number;
  return true;
}

// Only where the publisher puts bundles: update.d/bundles/<hex>.bundle.
bool isBundlePath(const std::string& path) {
  const std::string prefix = std::string(kServerFolder) + "/" + kBundleFolder;
  if (path.size() != prefix.size() + kBundleNameLength ||
      path.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  const std::string name = path.substr(prefix.size());
  return name.find_first_not_of("0123456789abcdef") == 64 && name.substr(64) == ".bundle";
}

}  // namespace

Status readBundleIndex(std::istream& in, BundleIndex* index) {
  std::string line;
  if (!std::getline(in, line) || line != kBundleIndexFormatLine) {
    return Status::failure("not a bundle index of format 1");
  }
  BundleMember bundle;
  bool haveBundle = false;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string keyword;
    words >> keyword;
    if (keyword == "bundle") {
      std::string path, size, extra;
      haveBundle = (words >> path >> size) && !(words >> extra) && isBundlePath(path) &&
                   isPlainNumber(size, INT64_MAX, &bundle.bundleSize);
      bundle.bundle = path;
      continue;
    }
    if (keyword != "member" || !haveBundle) continue;
    std::string offset, size, crc;
    if (!(words >> offset >> size >> crc)) continue;
    std::string name;
    std::getline(words, name);
    if (name.empty() || name[0] != ' ') continue;
    name.erase(0, 1);
    BundleMember member = bundle;
    std::int64_t memberSize = 0;
    unsigned long crcValue = 0;
    if (!isPlainNumber(offset, INT64_MAX, &member.offset) ||
        !isPlainNumber(size, INT32_MAX, &memberSize) || crc.size() != 8 ||
        crc.find_first_not_of("0123456789abcdef") != std::string::npos ||
        std::sscanf(crc.c_str(), "%8lx", &crcValue) != 1 || !isSafeName(name) ||
        member.offset > bundle.bundleSize - memberSize) {
      continue;
    }
    member.size = static_cast<std::int32_t>(memberSize);
    member.crc = static_cast<std::uint32_t>(crcValue);
    index->emplace(name, member);
  }
  return Status::success();
}

std::string formatBundleLine(const BundleText& bundle) {
  return "bundle " + bundle.path + " " + std::to_string(bundle.size);
}

std::string formatMemberLine(const std::string& name, std::int64_t offset, std::int32_t size,
                             std::uint32_t crc) {
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(crc));
  return "member " + std::to_string(offset) + " " + std::to_string(size) + " " + hex + " " + name;
}
