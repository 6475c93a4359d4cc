#pragma once

// Installing a file by a binary delta patch from the version the player has
// (update/patch_index.h): download the patch, check its size and SHA-256,
// apply it to the local file into the scratch file, check the result's size
// and CRC-32 against the manifest line, and replace the file atomically. Any
// failure leaves the local file as it was, so the run falls back to the full
// file.

#include <cstdint>
#include <string>

#include "hash/sha256.h"
#include "update/install.h"
#include "update/manifest.h"
#include "update/patch_index.h"
#include "update/run_options.h"

// What the local file is, read once.
struct LocalFile {
  bool exists = false;
  std::int64_t size = -1;
  std::uint32_t crc = 0;
  Sha256Digest sha{};
};

// Reads the local regular file `name` once for its size, CRC-32 and SHA-256.
LocalFile readLocalFile(const std::string& name);

// The patch among `index`'s entries for `name` whose base is `local`, or
// null.
const PatchEntry* patchFor(const PatchIndex& index, const std::string& name,
                           const LocalFile& local);

// Installs the file of `entry` by `patch`. True once the file is replaced;
// false, with the reason logged, if the run must fall back to the full file.
// `fetch`, where given, stands in for the patch's transfer (as for
// installFile).
bool installByPatch(const ManifestEntry& entry, const PatchEntry& patch, const RunContext& run,
                    const Fetcher& fetch = {});

// The request that fetches `patch` for `entry`.
FetchRequest patchRequest(const ManifestEntry& entry, const PatchEntry& patch);
