#pragma once

// The patch index the publisher serves beside update.dat ("update.patches"):
// for a file, binary delta patches from earlier versions to the one listed.
// Only a signed updater reads it, and only when the signature file covers it.
//
//   brightwick-patches 1
//   name,baseSize,baseCrc,baseSha256,patchPath,patchSize,patchSha256
//   name,baseSize,baseCrc,baseSha256,patchPath,patchSize,patchSha256,zlib
//
// The base is the earlier version as installed: its size, its CRC-32 written
// as the manifest writes checksums (signed 32-bit decimal) and its SHA-256.
// The patch is served under `patchPath`, below the publisher's folder
// update.d/, with its size and SHA-256. A line with the eighth field `zlib`
// serves a patch as one zlib stream of its bytes, beside the plain line for
// the same base: updaters before it skip lines of other than seven fields.

#include <cstdint>
#include <istream>
#include <map>
#include <string>

#include "base/status.h"
#include "engine/patch_stream.h"
#include "hash/sha256.h"

inline constexpr char kPatchIndexFormatLine[] = "brightwick-patches 1";
// Most bytes of update.patches an updater reads.
inline constexpr std::int64_t kMaxPatchIndexSize = std::int64_t{16} << 20;

struct PatchEntry {
  std::int32_t baseSize = 0;
  std::uint32_t baseCrc = 0;
  Sha256Digest baseSha{};
  std::string path;
  std::int32_t size = 0;
  Sha256Digest sha{};
  PatchForm form = PatchForm::plain;  // how the served bytes hold the patch
};

// Manifest name -> the patches to its listed version.
using PatchIndex = std::multimap<std::string, PatchEntry>;

// One line of the index, without its line end; the status says what is wrong
// with it otherwise.
Status readPatchLine(const std::string& line, std::string* name, PatchEntry* entry);
// The line readPatchLine reads.
std::string formatPatchLine(const std::string& name, const PatchEntry& entry);

// Reads a whole index; lines that are not well formed, or whose path does not
// stay below update.d/, are left out. False if the format line is wrong.
bool readPatchIndex(std::istream& in, PatchIndex* index);
