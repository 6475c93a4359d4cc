#include "deltas.h"
#include "hash/hex.h"

#include <zlib.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "base/names.h"
#include "hash/crc32.h"
#include "pack_platform.h"
#include "patch_make.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

constexpr char kHistoryFolder[] = "history";
constexpr char kPatchesFolder[] = "patches";

std::string patchName(const Sha256Digest& sha) {
  return std::string(kServerFolder) + "/" + kPatchesFolder + "/" + toHex(sha) + ".vcdiff";
}

bool present(const fs::path& path) {
  return fs::exists(statusOf(path));
}

// A scratch file of the run, removed when this goes.
struct ScratchFile {
  fs::path path;
  explicit ScratchFile(DeltaRun& run, const char* what)
      : path(run.scratch / ("delta-" + std::to_string(run.scratchCount++) + "-" + what)) {}
  ~ScratchFile() {
    std::error_code ignored;
    fs::remove(path, ignored);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
};

// Inflates the zlib stream `packed` into `into`; the content's SHA-256 and
// size on the way. Throws if it does not inflate.
VersionRecord inflateInto(const fs::path& packed, const fs::path& into, ProgressEngine& engine) {
  Sha256 sum;
  // The engine is the publish's own: its bound and progress are put back.
  std::uint64_t limit = engine.outputLimit;
  std::function<void(std::uint64_t)> onBytes = std::move(engine.onBytes);
  engine.onBytes = nullptr;
  engine.outputHash = &sum;
  engine.outputLimit = static_cast<std::uint64_t>(INT32_MAX);
  engine.total_out = 0;
  int status = engine.decompress(narrowOrThrow(packed).c_str(), narrowOrThrow(into).c_str());
  engine.outputHash = nullptr;
  engine.outputLimit = limit;
  engine.onBytes = std::move(onBytes);
  if (status != Z_OK) {
    throw std::runtime_error("cannot inflate " + shown(packed) + " to make a patch (zlib result " +
                             std::to_string(status) + ")");
  }
  VersionRecord version;
  version.size = static_cast<std::int32_t>(engine.total_out);
  version.crc = engine.outputCrc;
  version.sha = sum.finish();
  return version;
}

// Plans the move of scratch file `source` to `target` in the commit.
void planPut(DeltaRun& run, const fs::path& source, const std::string& target, std::uint64_t size,
             std::uint32_t crc) {
  JournalPut put;
  put.source = source.filename().u8string();
  put.target = target;
  put.size = size;
  put.crc = crc;
  run.journal->puts.push_back(put);
}

// The encoder's windows sized to the file: its tables grow with the windows,
// and a small file gains nothing from large ones.
PatchOptions patchOptionsFor(std::int64_t baseSize) {
  PatchOptions options;
  std::uint32_t window = 1u << 20;
  while (window < options.sourceWindow && static_cast<std::int64_t>(window) < baseSize) {
    window <<= 1;
  }
  options.sourceWindow = window;
  options.targetWindow = std::min(options.targetWindow, window);
  return options;
}

// Makes the patch from `base` (a whole file) to `target`; keeps it, and
// says so, if it pays.
bool patchFrom(DeltaRun& run, const std::string& name, const VersionRecord& baseVersion,
               const fs::path& base, const fs::path& target, const PackedRecord& record) {
  ScratchFile patch(run, "patch");
  PatchMade made;
  {
    FilePtr oldFile(openShared(narrowOrThrow(base), "rb"));
    FilePtr newFile(openShared(narrowOrThrow(target), "rb"));
    FilePtr out(openShared(narrowOrThrow(patch.path), "wb"));
    if (!oldFile || !newFile || !out) {
      throw std::runtime_error("cannot make a patch for " + quotedName(name) + ": " + errnoText());
    }
    made = makePatch(oldFile.get(), newFile.get(), out.get(), patchOptionsFor(baseVersion.size));
    if (std::fclose(out.release()) != 0) made.ok = false;
  }
  if (!made.ok) {
    throw std::runtime_error("cannot make a patch for " + quotedName(name) + ": " + made.error);
  }
  if (static_cast<double>(made.size) > kMostPatchShare * record.packedSize) return false;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  Sha256Digest sha{};
  measureFile(patch.path, &size, &crc, {}, &sha);
  PatchEntry entry;
  entry.baseSize = baseVersion.size;
  entry.baseCrc = baseVersion.crc;
  entry.baseSha = baseVersion.sha;
  entry.path = patchName(sha);
  entry.size = static_cast<std::int32_t>(size);
  entry.sha = sha;
  // The same patch (a file reverted to an earlier version twice, say) is
  // served once.
  bool known = false;
  for (const auto& [listed, other] : run.index) known = known || other.path == entry.path;
  if (!known && !present(run.out / manifestNamePath(entry.path))) {
    fs::path kept = run.scratch / ("delta-" + std::to_string(run.scratchCount++) + "-kept");
    fs::rename(patch.path, kept);
    planPut(run, kept, entry.path, size, crc);
  }
  run.index.emplace(name, entry);
  ++run.made;
  return true;
}

}  // namespace

std::string historyName(const Sha256Digest& sha) {
  return std::string(kServerFolder) + "/" + kHistoryFolder + "/" + toHex(sha) + ".z";
}

void readServedIndex(DeltaRun& run) {
  fs::path path = run.out / kPatchIndexName;
  if (!fs::is_regular_file(statusOf(path))) return;
  std::istringstream in(readWholeFile(path, static_cast<std::uint64_t>(kMaxPatchIndexSize)));
  readPatchIndex(in, &run.previousIndex);
}

void keepPatches(DeltaRun& run, const std::string& name, PackedRecord& record) {
  if (record.previous.size() > static_cast<std::size_t>(run.keep)) {
    record.previous.resize(static_cast<std::size_t>(run.keep));
  }
  auto [first, last] = run.previousIndex.equal_range(name);
  for (const VersionRecord& version : record.previous) {
    if (!present(run.out / historyName(version.sha))) continue;
    run.history.insert(toHex(version.sha));
    for (auto it = first; it != last; ++it) {
      const PatchEntry& entry = it->second;
      if (entry.baseSha == version.sha && present(run.out / manifestNamePath(entry.path))) {
        run.index.emplace(name, entry);
      }
    }
  }
}

void makePatches(DeltaRun& run, const std::string& name, const fs::path& packed,
                 PackedRecord& record, const PackedRecord* previous, const fs::path& servedPacked,
                 ProgressEngine& engine) {
  record.previous.clear();
  if (!previous || run.keep == 0 || !fs::is_regular_file(statusOf(servedPacked))) return;
  // The version the folder served until now: its content, and a link to its
  // stream kept in history for later publishes.
  ScratchFile served(run, "base");
  VersionRecord servedVersion = inflateInto(servedPacked, served.path, engine);
  if (servedVersion.size != previous->size || servedVersion.crc != previous->crc) return;
  VersionRecord newVersion{record.size, record.crc, record.sha};
  if (servedVersion == newVersion) {
    // Packed again, not changed (--force): its patches stand.
    record.previous = previous->previous;
    keepPatches(run, name, record);
    return;
  }

  std::vector<VersionRecord> versions{servedVersion};
  for (const VersionRecord& older : previous->previous) {
    if (versions.size() >= static_cast<std::size_t>(run.keep)) break;
    bool seen = older == newVersion;
    for (const VersionRecord& kept : versions) seen = seen || kept == older;
    if (!seen && present(run.out / historyName(older.sha))) versions.push_back(older);
  }
  // The new version's content, from the very stream that is served. Only
  // versions whose patch pays are kept: a later version will not be nearer
  // to them.
  ScratchFile target(run, "target");
  inflateInto(packed, target.path, engine);
  for (const VersionRecord& version : versions) {
    std::string history = historyName(version.sha);
    bool kept;
    if (&version == &versions.front()) {
      kept = patchFrom(run, name, version, served.path, target.path, record);
      if (kept && !present(run.out / manifestNamePath(history))) {
        fs::path link = run.scratch / ("delta-" + std::to_string(run.scratchCount++) + "-history");
        std::error_code error;
        fs::create_hard_link(servedPacked, link, error);
        if (error) fs::copy_file(servedPacked, link);
        planPut(run, link, history, static_cast<std::uint64_t>(previous->packedSize),
                previous->packedCrc);
      }
    } else {
      ScratchFile older(run, "older");
      inflateInto(run.out / manifestNamePath(history), older.path, engine);
      kept = patchFrom(run, name, version, older.path, target.path, record);
    }
    if (kept) {
      record.previous.push_back(version);
      run.history.insert(toHex(version.sha));
    }
  }
}

std::string finishPatches(DeltaRun& run) {
  // What the new index no longer uses goes after the commit point.
  std::set<std::string> patches;
  for (const auto& [name, entry] : run.index) patches.insert(entry.path);
  for (const char* folder : {kHistoryFolder, kPatchesFolder}) {
    fs::path dir = run.out / kServerFolder / folder;
    std::error_code error;
    if (!fs::is_directory(statusOf(dir))) continue;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, error)) {
      std::string file = entry.path().filename().u8string();
      std::string relative = std::string(kServerFolder) + "/" + folder + "/" + file;
      bool used = folder == std::string(kHistoryFolder)
                      ? file.size() > 2 && run.history.count(file.substr(0, file.size() - 2)) != 0
                      : patches.count(relative) != 0;
      if (!used) run.journal->deletes.push_back(relative);
    }
  }
  if (run.index.empty()) return std::string();
  std::string text = std::string(kPatchIndexFormatLine) + "\n";
  for (const auto& [name, entry] : run.index) text += formatPatchLine(name, entry) + "\n";
  return text;
}
