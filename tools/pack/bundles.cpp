#include "bundles.h"

#include <set>
#include <stdexcept>
#include <system_error>

#include "base/file_ptr.h"
#include "base/names.h"
#include "hash/crc32.h"
#include "hash/file_reader.h"
#include "hash/hex.h"
#include "hash/sha256.h"
#include "pack_platform.h"
#include "pack_support.h"
#include "platform/platform.h"
#include "update/bundle_index.h"

namespace fs = std::filesystem;

namespace {

constexpr char kBundlesFolder[] = "bundles";

struct Bundle {
  std::vector<const BundleFile*> members;
  std::int64_t size = 0;
};

// Consecutive small files, in manifest order, a bundle at most kBundleMost.
std::vector<Bundle> groupBundles(const std::vector<BundleFile>& files) {
  std::vector<Bundle> bundles;
  for (const BundleFile& file : files) {
    const std::int32_t size = file.record->packedSize;
    if (size > kBundleMemberMost || !file.record->hasSha) continue;
    if (bundles.empty() || bundles.back().size + size > kBundleMost) bundles.emplace_back();
    bundles.back().members.push_back(&file);
    bundles.back().size += size;
  }
  return bundles;
}

// The bundle's name: the SHA-256 of what it holds, which the members' names,
// sizes and packed SHA-256s fix as surely as its bytes do, and which is known
// without reading them.
std::string bundlePath(const Bundle& bundle) {
  Sha256 sum;
  for (const BundleFile* member : bundle.members) {
    const std::string line = member->name + "\n" + std::to_string(member->record->packedSize) +
                             " " + toHex(member->record->packedSha) + "\n";
    sum.update(line.data(), line.size());
  }
  return std::string(kServerFolder) + "/" + kBundlesFolder + "/" + toHex(sum.finish()) + ".bundle";
}

// Writes the bundle's bytes into `file`, checking each member against its
// record on the way: a packed file that changed since it was measured is
// not bundled as if it had not.
std::uint32_t writeBundle(const Bundle& bundle, const fs::path& file) {
  FilePtr out = openShared(narrowOrThrow(file), "wb");
  if (!out) throw std::runtime_error("cannot write " + shown(file) + ": " + errnoText());
  std::uint32_t crc = 0;
  for (const BundleFile* member : bundle.members) {
    FilePtr in = openShared(narrowOrThrow(member->packed), "rb");
    if (!in) throw std::runtime_error("cannot read " + shown(member->packed) + ": " + errnoText());
    std::uint32_t memberCrc = 0;
    std::int64_t size = 0;
    bool written = true;
    bool read = readChunks(in.get(), [&](const unsigned char* data, std::size_t got) {
      memberCrc = crc32Update(memberCrc, data, got);
      crc = crc32Update(crc, data, got);
      size += static_cast<std::int64_t>(got);
      written = written && std::fwrite(data, 1, got, out.get()) == got;
    });
    if (!read || !written) {
      throw std::runtime_error("cannot bundle " + quotedName(member->name) + ": " + errnoText());
    }
    if (size != member->record->packedSize || memberCrc != member->record->packedCrc) {
      throw std::runtime_error("the packed " + quotedName(member->name) +
                               " changed while it was being bundled");
    }
  }
  if (std::fclose(out.release()) != 0) {
    throw std::runtime_error("cannot write " + shown(file) + ": " + errnoText());
  }
  return crc;
}

}  // namespace

std::string planBundles(const fs::path& out, const fs::path& scratch,
                        const std::vector<BundleFile>& files, Journal& journal) {
  std::vector<Bundle> bundles = groupBundles(files);
  std::size_t members = 0;
  for (const Bundle& bundle : bundles) members += bundle.members.size();
  if (members < kBundleFewest) bundles.clear();

  std::set<std::string> kept;
  std::string index;
  int count = 0;
  for (const Bundle& bundle : bundles) {
    const std::string path = bundlePath(bundle);
    kept.insert(fs::path(path).filename().u8string());
    const fs::path served = out / manifestNamePath(path);
    std::error_code error;
    if (!fs::is_regular_file(statusOf(served)) ||
        fs::file_size(served, error) != static_cast<std::uintmax_t>(bundle.size) || error) {
      const std::string source = "bundle-" + std::to_string(count++);
      JournalPut put;
      put.source = source;
      put.target = path;
      put.size = static_cast<std::uint64_t>(bundle.size);
      put.crc = writeBundle(bundle, scratch / source);
      journal.puts.push_back(put);
    }
    index += formatBundleLine(BundleText{path, bundle.size}) + "\n";
    std::int64_t offset = 0;
    for (const BundleFile* member : bundle.members) {
      index += formatMemberLine(member->name, offset, member->record->packedSize,
                                member->record->packedCrc) +
               "\n";
      offset += member->record->packedSize;
    }
  }
  // What no bundle of this publish is goes after the commit point.
  const fs::path folder = out / kServerFolder / kBundlesFolder;
  std::error_code error;
  if (fs::is_directory(statusOf(folder))) {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
      const std::string name = entry.path().filename().u8string();
      if (kept.count(name) == 0) {
        journal.deletes.push_back(std::string(kServerFolder) + "/" + kBundlesFolder + "/" + name);
      }
    }
  }
  return index.empty() ? std::string() : kBundleIndexFormatLine + std::string("\n") + index;
}
