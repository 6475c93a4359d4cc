#include "bundles.h"

#include <set>
#include <stdexcept>

#include "base/names.h"
#include "hash/crc32.h"
#include "hash/file_reader.h"
#include "hash/hex.h"
#include "hash/sha256.h"
#include "pack_support.h"
#include "platform/platform.h"
#include "update/bundle_index.h"

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
std::string bundleName(const Bundle& bundle) {
  Sha256 sum;
  for (const BundleFile* member : bundle.members) {
    const std::string line = member->name + "\n" + std::to_string(member->record->packedSize) +
                             " " + toHex(member->record->packedSha) + "\n";
    sum.update(line.data(), line.size());
  }
  return std::string(kServerFolder) + "/" + kBundlesFolder + "/" + toHex(sum.finish()) + ".bundle";
}

// Reads `in` through, member by member, checking each against its record;
// each chunk also goes to `onChunk`. False at the first member that is not
// its record's bytes (or a read that fails), true if the file ends right
// after the last one.
bool walkMembers(std::FILE* in, const std::vector<const BundleFile*>& members,
                 const ChunkFn& onChunk) {
  for (const BundleFile* member : members) {
    std::string bytes(static_cast<std::size_t>(member->record->packedSize), '\0');
    if (!bytes.empty() && std::fread(&bytes[0], 1, bytes.size(), in) != bytes.size()) return false;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    if (crc32Update(0, data, bytes.size()) != member->record->packedCrc) return false;
    onChunk(data, bytes.size());
  }
  return std::fgetc(in) == EOF && !std::ferror(in);
}

// Whether the served bundle `name` holds exactly the members' bytes: one
// planted in the served folder under its name is not taken on its word.
bool servedBundleStands(const OutputFolder& out, const std::string& name, const Bundle& bundle) {
  if (out.kind(name) != EntryKind::file) return false;
  FilePtr in = out.openRead(name);
  return in && fileLength(in.get()) == bundle.size &&
         walkMembers(in.get(), bundle.members, [](const unsigned char*, std::size_t) {});
}

// Writes the bundle's bytes into `file`: each member's packed file, checked
// against its record, so that a packed file that changed since it was
// measured is not bundled as if it had not. Returns their CRC-32.
std::uint32_t writeBundle(const OutputFolder& out, const Bundle& bundle, const std::string& file) {
  FilePtr written = createServed(out, file);
  std::uint32_t crc = 0;
  for (const BundleFile* member : bundle.members) {
    FilePtr in = openServed(out, member->packed);
    bool ok = true;
    bool whole = walkMembers(in.get(), {member}, [&](const unsigned char* data, std::size_t size) {
      crc = crc32Update(crc, data, size);
      ok = ok && std::fwrite(data, 1, size, written.get()) == size;
    });
    if (!whole) {
      throw std::runtime_error("the packed " + quotedName(member->name) +
                               " changed while it was being bundled");
    }
    if (!ok) throw std::runtime_error("cannot write " + shown(out.pathOf(file)) + ": " + errnoText());
  }
  if (std::fclose(written.release()) != 0) {
    throw std::runtime_error("cannot write " + shown(out.pathOf(file)) + ": " + errnoText());
  }
  return crc;
}

}  // namespace

std::string planBundles(const OutputFolder& out, const std::string& scratch,
                        const std::vector<BundleFile>& files, Journal& journal) {
  std::vector<Bundle> bundles = groupBundles(files);
  std::size_t members = 0;
  for (const Bundle& bundle : bundles) members += bundle.members.size();
  if (members < kBundleFewest) bundles.clear();

  std::set<std::string> kept;
  std::string index;
  int count = 0;
  for (const Bundle& bundle : bundles) {
    const std::string name = bundleName(bundle);
    kept.insert(name);
    if (!servedBundleStands(out, name, bundle)) {
      const std::string source = "bundle-" + std::to_string(count++);
      JournalPut put;
      put.source = source;
      put.target = name;
      put.size = static_cast<std::uint64_t>(bundle.size);
      put.crc = writeBundle(out, bundle, joinName(scratch, source));
      journal.puts.push_back(put);
    }
    index += formatBundleLine(BundleText{name, bundle.size}) + "\n";
    std::int64_t offset = 0;
    for (const BundleFile* member : bundle.members) {
      index += formatMemberLine(member->name, offset, member->record->packedSize,
                                member->record->packedCrc) +
               "\n";
      offset += member->record->packedSize;
    }
  }
  // What no bundle of this publish is goes after the commit point.
  const std::string folder = std::string(kServerFolder) + "/" + kBundlesFolder;
  for (const FolderEntry& entry : out.list(folder)) {
    const std::string name = joinName(folder, entry.name);
    if (entry.kind == EntryKind::file && kept.count(name) == 0) journal.deletes.push_back(name);
  }
  return index.empty() ? std::string() : kBundleIndexFormatLine + std::string("\n") + index;
}
