#pragma once

// Whether a listed file must be installed, and how: decided from the local
// file alone, before anything is fetched.

#include "update/manifest.h"
#include "update/patch_index.h"

struct Freshness {
  bool current = false;
  // Where the local file is the base of a patch to the listed version; null:
  // the whole file.
  const PatchEntry* patch = nullptr;
};

// The local file of `entry` against its line and, for a signed run, the
// patches `patches` offers for it. Only a local file of a base's size is
// read for its SHA-256; the others no more than for their CRC-32.
Freshness checkFreshness(const ManifestEntry& entry, const PatchIndex& patches);

// Whether the local file of `entry` must be installed: true unless it opens,
// its length equals the listed size and its CRC-32 the listed checksum (as
// 32-bit patterns). Reads the file in bounded chunks.
bool needsUpdate(const ManifestEntry& entry);
