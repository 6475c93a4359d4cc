#include "update/ahead_run.h"

#include <cstdint>
#include <deque>
#include <fstream>
#include <set>

#include "base/names.h"
#include "download/fetch_ahead.h"
#include "download/resume.h"
#include "hash/crc32.h"
#include "hash/sha256.h"
#include "platform/game_folder.h"
#include "platform/platform.h"
#include "shared/globals.h"
#include "update/freshness.h"
#include "update/install.h"
#include "update/patch_install.h"
#include "update/signed_manifest.h"

namespace {

// Stale entries the scout plans ahead of the run at most: enough to keep
// every transfer busy, few enough that a manifest of a million stale lines
// costs no memory to speak of.
constexpr std::size_t kMostPlanned = 4096;
// Items the scout keeps queued beyond the one the run is at, so that the
// transfers never wait for the run's local work: as many as may wait in
// scratch files.
constexpr std::size_t kItemsAhead = kAheadFiles;
// Members of a bundle further apart than this are fetched by separate
// stretches; closer ones by one stretch, the bytes between included, which
// costs less than a request of its own on any line.
constexpr std::int64_t kJoinGap = 64 * 1024;
// Most bytes in one stretch: its members wait for its end.
constexpr std::int64_t kMostStretch = 8 << 20;

enum class Way {
  recheck,  // left to the run, which checks and fetches as ever
  file,     // the packed file, fetched ahead
  patch,    // a patch, fetched ahead
  member,   // within a stretch of a bundle, fetched ahead
};

struct Planned {
  std::uint64_t line = 0;
  std::string name;
  Way way = Way::recheck;
  const PatchEntry* patch = nullptr;
  std::size_t item = 0;
  // Way::member: where its bytes are in the item's file, and their CRC-32.
  std::int64_t offset = 0;
  std::int32_t size = 0;
  std::uint32_t crc = 0;
};

// Members planned for a stretch that is not yet queued.
struct Stretch {
  bool open = false;
  std::string bundle;
  std::int64_t from = 0;
  std::int64_t end = 0;
  std::size_t item = 0;
};

}  // namespace

struct AheadRun {
  const RunContext& run;
  PatchIndex& patches;
  BundleIndex& bundles;
  FetchAhead* queue = nullptr;
  // The signed indexes, fetched as the queue's first items while the scout
  // checks the files that need neither; until they are read, the first
  // stale entry the scout finds waits for them.
  const SignatureFile* signature = nullptr;
  bool indexesRead = true;
  std::size_t patchIndexItem = SIZE_MAX;
  std::size_t bundleIndexItem = SIZE_MAX;
  bool hasPending = false;
  ManifestEntry pending;
  PartIdentity kept;
  bool hasKept = false;

  std::ifstream scout;
  std::uint64_t scoutLine = 0;
  bool scoutDone = false;
  std::string line;
  ManifestFields fields;
  std::deque<Planned> planned;
  std::multiset<std::string> plannedNames;
  Stretch stretch;
  std::size_t items = 0;  // queued

  AheadRun(const RunContext& context, PatchIndex& patchIndex, BundleIndex& bundleIndex)
      : run(context), patches(patchIndex), bundles(bundleIndex) {}
};

namespace {

bool queue(AheadRun& ahead, const FetchRequest& request, std::int64_t size, std::int64_t from,
           std::int64_t to) {
  auto item = std::make_unique<AheadItem>();
  item->request = request;
  item->size = size;
  item->from = from;
  item->to = to;
  if (!addAhead(*ahead.queue, std::move(item))) return false;
  ++ahead.items;
  return true;
}

void flushStretch(AheadRun& ahead) {
  Stretch& stretch = ahead.stretch;
  if (!stretch.open) return;
  stretch.open = false;
  const BundleMember& any = ahead.bundles.begin()->second;
  std::int64_t bundleSize = any.bundleSize;
  for (const auto& [name, member] : ahead.bundles) {
    if (member.bundle == stretch.bundle) {
      bundleSize = member.bundleSize;
      break;
    }
  }
  FetchRequest request;
  request.urlPath = stretch.bundle;
  request.target = kDownloadScratchFile;
  const std::int64_t length = stretch.end - stretch.from;
  request.limit = length;
  // The whole bundle needs no range, which every server serves.
  const bool whole = stretch.from == 0 && stretch.end == bundleSize;
  queue(ahead, request, length, whole ? 0 : stretch.from, whole ? -1 : stretch.end - 1);
}

// Plans `entry`'s transfer (it is stale) in `planned`.
void plan(AheadRun& ahead, const ManifestEntry& entry, const Freshness& freshness,
          Planned& planned) {
  const bool again = ahead.plannedNames.count(entry.name) != 0;
  const PartIdentity identity{entry.name, entry.packedSizeText, entry.sha256};
  // A name listed twice is checked again at its turn, as the first one may
  // have made it current; a kept part is continued by the run itself; and a
  // file that would not fit on the disk is skipped there, unfetched.
  if (again || (ahead.hasKept && ahead.kept == identity) || !fitsOnDisk(entry)) return;
  if (freshness.patch) {
    flushStretch(ahead);
    planned.way = Way::patch;
    planned.patch = freshness.patch;
    planned.item = ahead.items;
    if (!queue(ahead, patchRequest(entry, *freshness.patch), freshness.patch->size, 0, -1)) {
      planned.way = Way::recheck;
    }
    return;
  }
  auto member = entry.isSigned() ? ahead.bundles.find(entry.name) : ahead.bundles.end();
  if (member != ahead.bundles.end() && member->second.size == entry.packedSize) {
    const BundleMember& where = member->second;
    Stretch& stretch = ahead.stretch;
    const bool joins = stretch.open && stretch.bundle == where.bundle &&
                       where.offset >= stretch.end && where.offset - stretch.end <= kJoinGap &&
                       where.offset + where.size - stretch.from <= kMostStretch;
    if (!joins) {
      flushStretch(ahead);
      stretch.open = true;
      stretch.bundle = where.bundle;
      stretch.from = where.offset;
      stretch.item = ahead.items;
    }
    stretch.end = where.offset + where.size;
    planned.way = Way::member;
    planned.item = stretch.item;
    planned.offset = where.offset - stretch.from;
    planned.size = where.size;
    planned.crc = where.crc;
    return;
  }
  flushStretch(ahead);
  planned.way = Way::file;
  planned.item = ahead.items;
  if (!queue(ahead, fileRequest(entry, ahead.run), entry.packedSize, 0, -1)) {
    planned.way = Way::recheck;
  }
}

// Plans `entry`, from the scout's current line, as the check found it.
void planEntry(AheadRun& ahead, const ManifestEntry& entry, const Freshness& freshness) {
  Planned planned;
  planned.line = ahead.scoutLine;
  planned.name = entry.name;
  plan(ahead, entry, freshness, planned);
  ahead.plannedNames.insert(entry.name);
  ahead.planned.push_back(planned);
}

// Reads and plans the scout's next line; false once there is none, the
// plan is full, or a stale entry waits for the indexes.
bool scoutOne(AheadRun& ahead) {
  if (ahead.hasPending) {
    if (!ahead.indexesRead) return false;
    // Checked anew: a base is chosen by its size and CRC-32.
    ahead.hasPending = false;
    Freshness freshness = checkFreshness(ahead.pending, ahead.patches, BaseProof::crc);
    if (!freshness.current) planEntry(ahead, ahead.pending, freshness);
    return true;
  }
  if (ahead.scoutDone || ahead.planned.size() >= kMostPlanned) return false;
  if (!readManifestLine(ahead.scout, ahead.line)) {
    ahead.scoutDone = true;
    flushStretch(ahead);
    ahead.queue->closed = true;
    return false;
  }
  ++ahead.scoutLine;
  if (parseManifestLine(ahead.line, ahead.fields) != LineKind::entry) return true;
  ManifestEntry entry =
      entryOf(ahead.fields, ahead.run.options.isSigned() ? hashFieldOf(ahead.line) : std::string());
  PathKind kind = inspectPath(entry.name);
  if (kind == PathKind::special || kind == PathKind::throughLink) return true;
  // A base's SHA-256 (a quarter of a second for 64 MiB) would hold back
  // the patch's request: it is proven at the patch's turn instead.
  Freshness freshness = checkFreshness(entry, ahead.patches, BaseProof::crc);
  if (freshness.current) return true;
  if (!ahead.indexesRead) {
    ahead.pending = entry;
    ahead.hasPending = true;
    return false;
  }
  planEntry(ahead, entry, freshness);
  return true;
}

// Reads the index fetched as item `index` once it is there, the scout
// checking files meanwhile.
FetchResult awaitIndex(AheadRun& ahead, std::size_t index, const FetchRequest& request) {
  AheadItem& item =
      awaitAhead(*ahead.queue, index, request.shownName, [&ahead] { return scoutOne(ahead); });
  if (item.result.outcome == DownloadOutcome::notWritten) {
    return fetchLogged(ahead.run, request);
  }
  return item.result;
}

// Keeps the scout far enough ahead that the transfers have work.
void scoutAhead(AheadRun& ahead, std::size_t item) {
  while (ahead.items < item + kItemsAhead && scoutOne(ahead)) {
  }
}

// The item a transfer fetched ahead for `entry`, as the run's own transfer
// would have given it. A cut transfer of the packed file is kept as the
// part (a run without a window continues it at once, as it would its own).
FetchResult takeFile(AheadRun& ahead, const Planned& planned, const FetchRequest& request) {
  if (!request.part.name.empty()) aheadItem(*ahead.queue, planned.item).keepAsPart = true;
  AheadItem& item = awaitAhead(*ahead.queue, planned.item, request.shownName,
                               [&ahead] { return scoutOne(ahead); });
  FetchResult result = item.result;
  if (result.outcome == DownloadOutcome::notWritten) return fetchLogged(ahead.run, request);
  const bool cut = result.outcome == DownloadOutcome::failed && (result.cut || gStopRequested);
  if (!cut || request.part.name.empty() || item.received <= 0) return result;
  const bool adopted =
      result.file == kPartialFile || adoptPart(result.file, request.part, item.validator);
  if (adopted && !gStopRequested && request.retryCuts && item.received >= kRetryMinimumProgress) {
    return fetchLogged(ahead.run, request);
  }
  return result;
}

// A member's bytes, from its stretch into the download scratch file, as a
// transfer of its own would have stored them. A stretch that failed, or
// bytes that are not the member's, leave the member to a transfer of its
// own.
FetchResult takeMember(AheadRun& ahead, const Planned& planned, const FetchRequest& request) {
  AheadItem& item = awaitAhead(*ahead.queue, planned.item, request.shownName,
                               [&ahead] { return scoutOne(ahead); });
  if (item.result.outcome != DownloadOutcome::complete) {
    if (gStopRequested) return item.result;
    return fetchLogged(ahead.run, request);
  }
  FetchResult result;
  result.outcome = DownloadOutcome::complete;
  result.file = kDownloadScratchFile;
  {
    auto in = openRegularFile(item.result.file);
    auto out = removeFile(kDownloadScratchFile) ? createNewFile(kDownloadScratchFile) : nullptr;
    std::string bytes(static_cast<std::size_t>(planned.size), '\0');
    bool copied = in && out && seek(in.get(), planned.offset) &&
                  std::fread(&bytes[0], 1, bytes.size(), in.get()) == bytes.size() &&
                  std::fwrite(bytes.data(), 1, bytes.size(), out.get()) == bytes.size() &&
                  std::fclose(out.release()) == 0;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    if (copied && crc32Update(0, data, bytes.size()) == planned.crc) {
      if (request.hash) result.sha256 = sha256Of(bytes);
      return result;
    }
  }
  return fetchLogged(ahead.run, request);
}

}  // namespace

void AheadRunEnd::operator()(AheadRun* ahead) const {
  endFetchAhead(ahead->queue);
  delete ahead;
}

AheadRunPtr startAheadRun(const RunContext& run, PatchIndex& patches, BundleIndex& bundles,
                          std::uint64_t lines, const PartIdentity* kept,
                          const SignatureFile* signature) {
  if (kFetchAhead < 2) return nullptr;
  AheadRunPtr ahead(new AheadRun(run, patches, bundles));
  ahead->scout.open(kManifestName, std::ios::binary);
  if (!ahead->scout.is_open()) return nullptr;
  if (kept) {
    ahead->kept = *kept;
    ahead->hasKept = true;
  }
  // A line gives one item at most; the end of a stretch, one more; and
  // the two indexes.
  ahead->queue = startFetchAhead(run.downloads, static_cast<std::size_t>(lines) + 3);
  if (!ahead->queue) return nullptr;
  // An index's size is not known before it arrives (its request's limit
  // bounds it); counted as nothing, both go at once, while no file waits in
  // a scratch file yet.
  ahead->signature = signature;
  if (signature && signature->hasPatchIndex) {
    ahead->patchIndexItem = ahead->items;
    if (!queue(*ahead, patchIndexRequest(), 0, 0, -1)) return nullptr;
  }
  if (signature && signature->hasBundleIndex) {
    ahead->bundleIndexItem = ahead->items;
    if (!queue(*ahead, bundleIndexRequest(), 0, 0, -1)) return nullptr;
  }
  ahead->indexesRead = ahead->items == 0;
  return ahead;
}

void readAheadIndexes(AheadRun& ahead) {
  if (ahead.indexesRead) return;
  if (ahead.patchIndexItem != SIZE_MAX) {
    takePatchIndex(awaitIndex(ahead, ahead.patchIndexItem, patchIndexRequest()), *ahead.signature,
                   &ahead.patches);
  }
  if (ahead.bundleIndexItem != SIZE_MAX) {
    takeBundleIndex(awaitIndex(ahead, ahead.bundleIndexItem, bundleIndexRequest()),
                    *ahead.signature, &ahead.bundles);
  }
  removeFile(kDownloadScratchFile);
  // They are the queue's first items.
  releaseAhead(*ahead.queue,
               (ahead.patchIndexItem != SIZE_MAX) + (ahead.bundleIndexItem != SIZE_MAX));
  ahead.indexesRead = true;
  // The entry that waited for them is planned before the run comes to it.
  if (!gStopRequested) scoutOne(ahead);
}

void installAhead(AheadRun& ahead, const ManifestEntry& entry, std::uint64_t line) {
  while (ahead.scoutLine < line && scoutOne(ahead)) {
  }
  // A plan for a line the run passed by (its name turned into a link or a
  // device meanwhile) is no more.
  while (!ahead.planned.empty() && ahead.planned.front().line < line) {
    ahead.plannedNames.erase(ahead.plannedNames.find(ahead.planned.front().name));
    ahead.planned.pop_front();
  }
  Planned planned;
  if (!ahead.planned.empty() && ahead.planned.front().line == line) {
    planned = ahead.planned.front();
    ahead.planned.pop_front();
    ahead.plannedNames.erase(ahead.plannedNames.find(planned.name));
  } else if (ahead.scoutLine >= line) {
    return;  // the scout found it current
  }
  if (planned.way == Way::member && ahead.stretch.open && ahead.stretch.item == planned.item) {
    flushStretch(ahead);
  }
  if (planned.way != Way::recheck) releaseAhead(*ahead.queue, planned.item);
  scoutAhead(ahead, planned.item);

  switch (planned.way) {
    case Way::recheck:
      break;
    case Way::file:
      installFile(entry, ahead.run,
                  [&](const FetchRequest& request) { return takeFile(ahead, planned, request); });
      return;
    case Way::member:
      installFile(entry, ahead.run,
                  [&](const FetchRequest& request) { return takeMember(ahead, planned, request); });
      return;
    case Way::patch:
      if (patchFor(ahead.patches, entry.name, readLocalFile(entry.name)) != planned.patch) {
        // Not the base after all: the transfer ends before its scratch
        // file goes to another, and the run checks the file anew.
        awaitAhead(*ahead.queue, planned.item, entry.name);
        break;
      }
      if (installByPatch(entry, *planned.patch, ahead.run, [&](const FetchRequest& request) {
            return takeFile(ahead, planned, request);
          })) {
        checkInstalledSize(entry);
        return;
      }
      if (gStopRequested) return;
      installFile(entry, ahead.run);
      return;
  }
  // Checked again at its turn, and fetched by the run itself.
  Freshness freshness = checkFreshness(entry, ahead.patches);
  if (freshness.current) return;
  if (freshness.patch) {
    if (installByPatch(entry, *freshness.patch, ahead.run)) {
      checkInstalledSize(entry);
      return;
    }
    if (gStopRequested) return;
  }
  installFile(entry, ahead.run);
}
