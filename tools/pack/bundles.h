#pragma once

// Bundles of small packed files in a signed publish (update/bundle_index.h).
// A player's line pays a round trip for every request, and a release that
// changes hundreds of small files would cost hundreds of them; a signed
// updater instead fetches those files as a few stretches of a bundle. Every
// packed file stays served on its own as well, for older updaters and as
// the fallback.
//
// The publisher keeps the bundles below the output folder's update.d/:
//   bundles/<SHA-256 of its member list>.bundle
// each the concatenation of its members' packed files in manifest order, and
// lists them in update.bundles, which the signature covers. A bundle whose
// members are unchanged keeps its name and is not written again, once its
// bytes are found to be its members'; bundles no longer listed are deleted by
// the commit.

#include <cstdint>
#include <string>
#include <vector>

#include "journal.h"
#include "output_folder.h"
#include "reuse_record.h"

// Packed files up to this size go into bundles: beyond it a request costs
// little beside the bytes it carries.
inline constexpr std::int32_t kBundleMemberMost = 64 * 1024;
// Bytes of one bundle at most.
inline constexpr std::int64_t kBundleMost = std::int64_t{4} << 20;
// Fewer small files than this get no bundle: they cost a few requests only.
inline constexpr std::size_t kBundleFewest = 8;

struct BundleFile {
  std::string name;    // manifest name
  std::string packed;  // its packed file now, in the output folder (a new one in the scratch folder)
  const PackedRecord* record = nullptr;
};

// Plans the bundles of `files` (in manifest order, with packed SHA-256s):
// each new bundle is written into `scratch` and its move planned in
// `journal`, bundles no longer listed are deleted after the commit point.
// Returns the text of update.bundles, empty when no bundle is served.
std::string planBundles(const OutputFolder& out, const std::string& scratch,
                        const std::vector<BundleFile>& files, Journal& journal);
