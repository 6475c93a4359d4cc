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
//
// What is read back from the served folder is believed only where the studio
// vouches for it, since whoever holds the server can write there: an earlier
// version is patched from only when a record with a valid MAC lists it, or
// the patch index that the key's own signature covers has a patch from it,
// and its stream in history/ must inflate to exactly that version (SHA-256).
// A patch of the served index is kept only when that signature covers the
// index and the file is served as the signed update.dat lists it.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "journal.h"
#include "output_folder.h"
#include "pack_support.h"
#include "reuse_record.h"
#include "update/patch_index.h"

// Patches from this many earlier versions when a signed publish does not
// say otherwise.
inline constexpr int kDefaultDeltas = 2;
// A patch is kept only when at most this share of the packed file.
inline constexpr double kMostPatchShare = 0.75;

struct DeltaRun {
  const OutputFolder* out = nullptr;
  std::string scratch;  // the run's scratch folder
  int keep = 0;         // versions to patch from
  Journal* journal = nullptr;
  // What the folder served before, where the key's signature covers it: the
  // patch index, and each file's packed SHA-256 in update.dat.
  PatchIndex previousIndex;
  std::map<std::string, std::string> signedPacked;
  PatchIndex index;  // what it will serve
  std::set<std::string> history;  // content hashes kept in history/
  int made = 0;                   // patches made by this run
  int scratchCount = 0;
};

// Where the publisher keeps the earlier version with content hash `sha`.
std::string historyName(const Sha256Digest& sha);

// Takes the index and the manifest the output folder serves, `index` and
// `manifest`, as far as `signatureCovers` them.
void readServedIndex(DeltaRun& run, const std::string& index, const std::string& manifest,
                     bool signatureCovers);

// A file unchanged since the last publish keeps its earlier versions (up to
// `keep`; only those the studio vouches for) and the patches from them.
void keepPatches(DeltaRun& run, const std::string& name, PackedRecord& record);

// A file packed anew into `packed` (in the scratch folder): its earlier
// versions are the one the folder served under `name` (`previous` is its
// record, if any) and that one's own earlier versions; each gets a patch to
// the new version where one pays.
void makePatches(DeltaRun& run, const std::string& name, const std::string& packed,
                 PackedRecord& record, const PackedRecord* previous, ProgressEngine& engine);

// The index's text (empty when no patch is kept), and the commit's deletes of
// history and patches no longer needed.
std::string finishPatches(DeltaRun& run);
