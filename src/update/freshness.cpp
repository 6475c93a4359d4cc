#include "update/freshness.h"

#include <climits>

#include "base/file_ptr.h"
#include "hash/crc32.h"
#include "platform/game_folder.h"
#include "platform/platform.h"
#include "update/patch_install.h"

Freshness checkFreshness(const ManifestEntry& entry, const PatchIndex& patches, BaseProof proof) {
  Freshness freshness;
  // Only a local file of a base's size can be patched; the others are
  // checked (and read) no more than without patches.
  bool patchable = false;
  std::int64_t size = -1;
  FilePtr file;
  auto [first, last] = patches.equal_range(entry.name);
  if (first != last) {
    file = openRegularFile(entry.name);
    size = file ? fileLength(file.get()) : -1;
    for (auto it = first; it != last; ++it) patchable = patchable || it->second.baseSize == size;
  }
  // The checks below open the file anew: one handle on it at a time.
  if (!patchable || proof == BaseProof::sha256) file.reset();
  if (!patchable) {
    freshness.current = !needsUpdate(entry);
    return freshness;
  }
  if (proof == BaseProof::crc) {
    std::uint32_t crc = 0;
    if (!crcOfFile(file.get(), &crc)) return freshness;
    freshness.current = size == entry.unpackedSize && crc == entry.checksum;
    // As patchFor chooses, so that the patch's turn finds the same one.
    for (auto it = first; it != last && !freshness.current; ++it) {
      const PatchEntry& patch = it->second;
      if (patch.baseSize == size && patch.baseCrc == crc &&
          (!freshness.patch || patch.size < freshness.patch->size)) {
        freshness.patch = &patch;
      }
    }
    return freshness;
  }
  // One read serves the check and the choice of a patch.
  LocalFile local = readLocalFile(entry.name);
  freshness.current =
      local.exists && local.size == entry.unpackedSize && local.crc == entry.checksum;
  if (!freshness.current) freshness.patch = patchFor(patches, entry.name, local);
  return freshness;
}

bool needsUpdate(const ManifestEntry& entry) {
  auto file = openRegularFile(entry.name);
  if (!file) return true;
  std::int64_t length = fileLength(file.get());
  // A length beyond 32 bits matches no listed size.
  if (length < 0 || length > INT32_MAX) return true;
  // The CRC cannot rescue a file of the wrong length, so it is not computed.
  if (static_cast<std::int32_t>(length) != entry.unpackedSize) return true;
  std::uint32_t crc;
  if (!crcOfFile(file.get(), &crc)) return true;
  return crc != entry.checksum;
}
