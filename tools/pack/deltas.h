#pragma once

// Binary delta patches in a publish (`--deltas N`): for each changed file,
// patches from its previous N published versions to the new one, so that a
// signed updater downloads the change instead of the file.
//
// The publisher keeps what it needs below the output folder's update.d/:
//   history/<SHA-256 of the content>.z   each earlier version still patched
//                                        from, as the zlib stream it was
//                                        served as (linked, not copied)
//   patches/<SHA-256 of the patch>.vcdiff
// and lists the patches in update.patches (update/patch_index.h), which the
// signature covers. The records (reuse_record.h) keep each file's earlier
// versions, newest first. A patch is kept only when it is clearly smaller
// than the packed file; history and patches no longer needed are deleted by
// the commit.

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "journal.h"
#include "pack_support.h"
#include "reuse_record.h"
#include "update/patch_index.h"

// Patches from this many earlier versions when a signed publish does not
// say otherwise.
inline constexpr int kDefaultDeltas = 2;
// A patch is kept only when at most this share of the packed file.
inline constexpr double kMostPatchShare = 0.75;

struct DeltaRun {
  std::filesystem::path out;
  std::filesystem::path scratch;  // the run's scratch folder
  int keep = 0;                   // versions to patch from
  Journal* journal = nullptr;
  PatchIndex previousIndex;       // what the folder served before
  PatchIndex index;               // what it will serve
  std::set<std::string> history;  // content hashes kept in history/
  int made = 0;                   // patches made by this run
  int scratchCount = 0;
};

// Where the publisher keeps the earlier version with content hash `sha`.
std::string historyName(const Sha256Digest& sha);

// Reads the index the output folder serves, if any.
void readServedIndex(DeltaRun& run);

// A file unchanged since the last publish keeps its earlier versions (up to
// `keep`) and the patches from them.
void keepPatches(DeltaRun& run, const std::string& name, PackedRecord& record);

// A file packed anew into `packed` (in the scratch folder): its earlier
// versions are the one the folder served (`previous`, if any, packed at
// `servedPacked`) and that one's own earlier versions; each gets a patch to
// the new version where one pays.
void makePatches(DeltaRun& run, const std::string& name, const std::filesystem::path& packed,
                 PackedRecord& record, const PackedRecord* previous,
                 const std::filesystem::path& servedPacked, ProgressEngine& engine);

// The index's text (empty when no patch is kept), and the commit's deletes of
// history and patches no longer needed.
std::string finishPatches(DeltaRun& run);
