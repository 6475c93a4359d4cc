// Fuzzes the bundle index (update.bundles) a signed updater reads before it
// asks for stretches of a bundle by range. Whatever the text, every member it
// keeps names a file the updater accepts, lies inside a bundle the publisher
// could have written, and reads back the same once written out again.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_check.h"
#include "update/bundle_index.h"
#include "update/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::istringstream in(text);
  BundleIndex index;
  Status read = readBundleIndex(in, &index);
  FUZZ_CHECK(read.ok() || index.empty());
  if (!read.ok()) return 0;

  std::string again = std::string(kBundleIndexFormatLine) + "\n";
  for (const auto& [name, member] : index) {
    FUZZ_CHECK(isSafeName(name));
    FUZZ_CHECK(member.bundle.rfind("update.d/bundles/", 0) == 0);
    FUZZ_CHECK(member.bundle.find("..") == std::string::npos);
    FUZZ_CHECK(member.offset >= 0 && member.size >= 0 && member.bundleSize >= 0);
    // The range an updater asks for never reaches past the bundle, and its
    // last byte never wraps.
    FUZZ_CHECK(member.offset <= member.bundleSize - member.size);
    // One bundle line per member keeps the round trip simple; the reader
    // must take it the same as the original grouping.
    again += formatBundleLine({member.bundle, member.bundleSize}) + "\n";
    again += formatMemberLine(name, member.offset, member.size, member.crc) + "\n";
  }
  std::istringstream written(again);
  BundleIndex reread;
  FUZZ_CHECK(readBundleIndex(written, &reread).ok());
  FUZZ_CHECK(reread.size() == index.size());
  for (const auto& [name, member] : index) {
    auto found = reread.find(name);
    FUZZ_CHECK(found != reread.end());
    const BundleMember& other = found->second;
    FUZZ_CHECK(other.bundle == member.bundle && other.bundleSize == member.bundleSize &&
               other.offset == member.offset && other.size == member.size &&
               other.crc == member.crc);
  }
  return 0;
}
