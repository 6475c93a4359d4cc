#pragma once

// The manifest's stale files installed while the next ones already arrive
// (download/fetch_ahead.h). The run still reads update.dat one line at a
// time, logs and installs in manifest order exactly as it always has; a
// scout reads ahead in the same file, checks the local files the run will
// come to and plans their transfers: the packed file, its patch, or its
// stretch of a bundle (update/bundle_index.h). The run then takes each
// entry's transfer as fetched ahead instead of starting it itself.

#include <cstdint>
#include <memory>

#include "download/request.h"
#include "update/bundle_index.h"
#include "update/manifest.h"
#include "update/patch_index.h"
#include "update/run_options.h"
#include "update/signature.h"

struct AheadRun;
// Ending it abandons every transfer still under way and removes every
// scratch file (a cut transfer of the entry in hand stays as the kept part,
// by the rules of download/resume.h).
struct AheadRunEnd {
  void operator()(AheadRun* ahead) const;
};
using AheadRunPtr = std::unique_ptr<AheadRun, AheadRunEnd>;

// Starts fetching ahead for the manifest kManifestName of `lines` lines;
// null where the run cannot (then it fetches one file at a time). `kept` is
// the part a transfer may continue, if any: its entry is left to the run,
// which continues it. With `signature`, the indexes it covers are the first
// transfers, read into `patches` and `bundles` by readAheadIndexes; both
// must outlive the run.
AheadRunPtr startAheadRun(const RunContext& run, PatchIndex& patches, BundleIndex& bundles,
                          std::uint64_t lines, const PartIdentity* kept,
                          const SignatureFile* signature);

// Waits for the indexes and reads them, exactly as fetchPatchIndex and
// fetchBundleIndex would (signed_manifest.h), while the scout checks the
// local files up to the first stale one: a round trip or two of the start
// go by in that work. Before the run's first line.
void readAheadIndexes(AheadRun& ahead);

// The run's turn for `entry`, read from line `line` (counted from 1) and
// found to be a regular file or missing: brings it up to date as planned.
void installAhead(AheadRun& ahead, const ManifestEntry& entry, std::uint64_t line);
