#pragma once

// Whether a listed file must be installed, and how: decided from the local
// file alone, before anything is fetched.

#include "update/manifest.h"
#include "update/patch_index.h"

// How far a local file is read before it is taken as a patch's base.
enum class BaseProof {
  sha256,  // size, CRC-32 and SHA-256: the base is proven
  crc,     // size and CRC-32 only: a choice to be proven before the patch is applied
};

struct Freshness {
  bool current = false;
  // Where the local file is the base of a patch to the listed version; null:
  // the whole file.
  const PatchEntry* patch = nullptr;
};

// The local file of `entry` against its line and, for a signed run, the
// patches `patches` offers for it. Only a local file of a base's size is
// read for its SHA-256, and only with BaseProof::sha256; the others no more
// than for their CRC-32.
Freshness checkFreshness(const ManifestEntry& entry, const PatchIndex& patches,
                         BaseProof proof = BaseProof::sha256);

// Whether the local file of `entry` must be installed: true unless it opens,
// its length equals the listed size and its CRC-32 the listed checksum (as
// 32-bit patterns). Reads the file in bounded chunks.
bool needsUpdate(const ManifestEntry& entry);
