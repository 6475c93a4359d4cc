#include "deltas.h"
#include "hash/hex.h"

#include <zlib.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "base/names.h"
#include "patch_make.h"
#include "platform/platform.h"
#include "record_proof.h"
#include "update/manifest.h"

namespace {

constexpr char kHistoryFolder[] = "history";
constexpr char kPatchesFolder[] = "patches";

std::string patchName(const Sha256Digest& sha) {
  return std::string(kServerFolder) + "/" + kPatchesFolder + "/" + toHex(sha) + ".vcdiff";
}

bool isFile(const DeltaRun& run, const std::string& name) {
  return run.out->kind(name) == EntryKind::file;
}

// A scratch file of the run, removed when this goes unless kept for the
// commit.
struct ScratchFile {
  const DeltaRun& run;
  std::string name;
  bool kept = false;
  ScratchFile(DeltaRun& owner, const char* what)
      : run(owner),
        name(joinName(owner.scratch,
                      "delta-" + std::to_string(owner.scratchCount++) + "-" + what)) {}
  ~ScratchFile() {
    if (!kept) run.out->removeFile(name);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
};

// Inflates the served zlib stream `packed` into the scratch file `into`,
// summing both sides; `whole` false if it is no complete stream.
InflatedFile inflateInto(const DeltaRun& run, const std::string& packed, const std::string& into,
                         ProgressEngine& engine) {
  // The engine is the publish's own: its progress is put back.
  std::function<void(std::uint64_t)> onBytes = std::move(engine.onBytes);
  engine.onBytes = nullptr;
  FilePtr in = openServed(*run.out, packed);
  FilePtr out = createServed(*run.out, into);
  InflatedFile inflated =
      inflateAndSum(in.get(), out.get(), static_cast<std::uint64_t>(INT32_MAX), engine);
  engine.onBytes = std::move(onBytes);
  if (std::fclose(out.release()) != 0) {
    throw std::runtime_error("cannot write " + shown(run.out->pathOf(into)) + ": " + errnoText());
  }
  return inflated;
}

VersionRecord versionOf(const PackedRecord& sums) {
  return VersionRecord{sums.size, sums.crc, sums.sha};
}

// Whether the signed patch index the folder served has a patch for `name`
// from the version with content `sha`: then the studio published it.
bool publishedBase(const DeltaRun& run, const std::string& name, const Sha256Digest& sha) {
  auto [first, last] = run.previousIndex.equal_range(name);
  for (auto it = first; it != last; ++it) {
    if (it->second.baseSha == sha) return true;
  }
  return false;
}

// Whether `record` is the file as the signed update.dat the folder served
// lists it, so that the patches of the signed index still give it.
bool servedAsSigned(const DeltaRun& run, const std::string& name, const PackedRecord& record) {
  auto signedSum = run.signedPacked.find(name);
  return record.hasSha && signedSum != run.signedPacked.end() &&
         signedSum->second == toHex(record.packedSha);
}

// Plans the move of scratch file `source` to `target` in the commit.
void planPut(DeltaRun& run, const std::string& source, const std::string& target,
             std::uint64_t size, std::uint32_t crc) {
  JournalPut put;
  put.source = source.substr(source.rfind('/') + 1);
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

// Lists `entry` and plans the move of its scratch file into place.
void servePatch(DeltaRun& run, const std::string& name, const PatchEntry& entry,
                ScratchFile& scratch, std::uint32_t crc) {
  // The same patch (a file reverted to an earlier version twice, say) is
  // served once.
  bool known = false;
  for (const auto& [listed, other] : run.index) known = known || other.path == entry.path;
  if (!known && run.out->kind(entry.path) == EntryKind::missing) {
    scratch.kept = true;
    planPut(run, scratch.name, entry.path, static_cast<std::uint64_t>(entry.size), crc);
  }
  run.index.emplace(name, entry);
}

// The patch's plain sections compress well; the zlib stream of it is served
// beside it when it saves at least a sixteenth, for updaters that read it.
// Older ones skip its line and fetch the plain one.
void addZlibForm(DeltaRun& run, const std::string& name, const PatchEntry& plain,
                 const std::string& plainScratch, ProgressEngine& engine) {
  const OutputFolder& out = *run.out;
  ScratchFile packed(run, "zpatch");
  std::function<void(std::uint64_t)> onBytes = std::move(engine.onBytes);
  engine.onBytes = nullptr;
  int status;
  {
    FilePtr in = openServed(out, plainScratch);
    FilePtr written = createServed(out, packed.name);
    status = engine.compress(in.get(), written.get(), Z_BEST_COMPRESSION);
    if (std::fclose(written.release()) != 0 && status == Z_OK) status = Z_ERRNO;
  }
  engine.onBytes = std::move(onBytes);
  if (status != Z_OK) {
    throw std::runtime_error("cannot compress the patch for " + quotedName(name) +
                             ": zlib result " + std::to_string(status));
  }
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  Sha256Digest sha{};
  {
    FilePtr in = openServed(out, packed.name);
    measureStream(in.get(), out.pathOf(packed.name), &size, &crc, {}, &sha);
  }
  if (size * 16 > static_cast<std::uint64_t>(plain.size) * 15) return;
  PatchEntry entry = plain;
  entry.path = patchName(sha) + ".z";
  entry.size = static_cast<std::int32_t>(size);
  entry.sha = sha;
  entry.form = PatchForm::zlib;
  servePatch(run, name, entry, packed, crc);
}

// Makes the patch from `base` (a whole file in the scratch folder) to
// `target`; keeps it, and says so, if it pays.
bool patchFrom(DeltaRun& run, const std::string& name, const VersionRecord& baseVersion,
               const std::string& base, const std::string& target, const PackedRecord& record,
               ProgressEngine& engine) {
  const OutputFolder& out = *run.out;
  ScratchFile patch(run, "patch");
  PatchMade made;
  {
    FilePtr oldFile = openServed(out, base);
    FilePtr newFile = openServed(out, target);
    FilePtr written = createServed(out, patch.name);
    made =
        makePatch(oldFile.get(), newFile.get(), written.get(), patchOptionsFor(baseVersion.size));
    if (std::fclose(written.release()) != 0) made.ok = false;
  }
  if (!made.ok) {
    throw std::runtime_error("cannot make a patch for " + quotedName(name) + ": " + made.error);
  }
  if (static_cast<double>(made.size) > kMostPatchShare * record.packedSize) return false;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  Sha256Digest sha{};
  {
    FilePtr in = openServed(out, patch.name);
    measureStream(in.get(), out.pathOf(patch.name), &size, &crc, {}, &sha);
  }
  PatchEntry entry;
  entry.baseSize = baseVersion.size;
  entry.baseCrc = baseVersion.crc;
  entry.baseSha = baseVersion.sha;
  entry.path = patchName(sha);
  entry.size = static_cast<std::int32_t>(size);
  entry.sha = sha;
  servePatch(run, name, entry, patch, crc);
  addZlibForm(run, name, entry, patch.name, engine);
  ++run.made;
  return true;
}

}  // namespace

std::string historyName(const Sha256Digest& sha) {
  return std::string(kServerFolder) + "/" + kHistoryFolder + "/" + toHex(sha) + ".z";
}

void readServedIndex(DeltaRun& run, const std::string& index, const std::string& manifest,
                     bool signatureCovers) {
  if (!signatureCovers) return;
  std::istringstream in(index);
  if (!index.empty() && !readPatchIndex(in, &run.previousIndex)) run.previousIndex.clear();
  std::istringstream lines(manifest);
  std::string line;
  std::vector<std::string> fields;
  while (readManifestLine(lines, line)) {
    if (parseManifestLine(line, fields) == LineKind::entry && isHashField(hashFieldOf(line))) {
      run.signedPacked[fields[0]] = hashFieldOf(line);
    }
  }
}

void keepPatches(DeltaRun& run, const std::string& name, PackedRecord& record) {
  // A record without the studio's MAC keeps only the versions the signed
  // index shows the studio patched from.
  if (!record.proven) {
    std::vector<VersionRecord> vouched;
    for (const VersionRecord& version : record.previous) {
      if (publishedBase(run, name, version.sha)) vouched.push_back(version);
    }
    record.previous = std::move(vouched);
  }
  if (record.previous.size() > static_cast<std::size_t>(run.keep)) {
    record.previous.resize(static_cast<std::size_t>(run.keep));
  }
  bool signedAsIs = servedAsSigned(run, name, record);
  auto [first, last] = run.previousIndex.equal_range(name);
  for (const VersionRecord& version : record.previous) {
    if (!isFile(run, historyName(version.sha))) continue;
    run.history.insert(toHex(version.sha));
    for (auto it = first; it != last && signedAsIs; ++it) {
      const PatchEntry& entry = it->second;
      if (entry.baseSha == version.sha && isFile(run, entry.path)) run.index.emplace(name, entry);
    }
  }
}

void makePatches(DeltaRun& run, const std::string& name, const std::string& packed,
                 PackedRecord& record, const PackedRecord* previous, ProgressEngine& engine) {
  record.previous.clear();
  if (!previous || run.keep == 0 || !isFile(run, name)) return;
  // The version the folder served until now: its content, and a link to its
  // stream kept in history for later publishes. It is a base only if the
  // studio published it: its record's MAC holds and it inflates to what the
  // record says, or the signed update.dat listed this very stream.
  ScratchFile served(run, "base");
  InflatedFile servedFile = inflateInto(run, name, served.name, engine);
  VersionRecord servedVersion = versionOf(servedFile.sums);
  bool vouched = previous->proven && servedVersion == versionOf(*previous);
  if (!vouched && servedFile.whole) {
    auto signedSum = run.signedPacked.find(name);
    vouched = signedSum != run.signedPacked.end() &&
              signedSum->second == toHex(servedFile.sums.packedSha);
  }
  if (!servedFile.whole || !vouched) return;
  VersionRecord newVersion{record.size, record.crc, record.sha};
  if (servedVersion == newVersion) {
    // Packed again, not changed (--force): its patches stand.
    record.previous = previous->previous;
    record.proven = previous->proven;
    keepPatches(run, name, record);
    return;
  }

  std::vector<VersionRecord> versions{servedVersion};
  for (const VersionRecord& older : previous->previous) {
    if (versions.size() >= static_cast<std::size_t>(run.keep)) break;
    bool seen = older == newVersion;
    for (const VersionRecord& kept : versions) seen = seen || kept == older;
    bool vouchedOlder = previous->proven || publishedBase(run, name, older.sha);
    if (!seen && vouchedOlder && isFile(run, historyName(older.sha))) versions.push_back(older);
  }
  // The new version's content, from the very stream that is served. Only
  // versions whose patch pays are kept: a later version will not be nearer
  // to them.
  ScratchFile target(run, "target");
  if (!inflateInto(run, packed, target.name, engine).whole) {
    throw std::runtime_error("cannot inflate the new " + quotedName(name) + " to make a patch");
  }
  for (const VersionRecord& version : versions) {
    std::string history = historyName(version.sha);
    bool kept;
    if (&version == &versions.front()) {
      kept = patchFrom(run, name, version, served.name, target.name, record, engine);
      if (kept && run.out->kind(history) == EntryKind::missing) {
        std::string link =
            joinName(run.scratch, "delta-" + std::to_string(run.scratchCount++) + "-history");
        if (!run.out->hardLink(name, link)) copyServed(*run.out, name, link);
        planPut(run, link, history, static_cast<std::uint64_t>(servedFile.sums.packedSize),
                servedFile.sums.packedCrc);
      }
    } else {
      // The stream kept in history must be the very version it is named
      // for: a patch from other bytes would give players other bytes.
      ScratchFile older(run, "older");
      InflatedFile olderFile = inflateInto(run, history, older.name, engine);
      if (!olderFile.whole || !(versionOf(olderFile.sums) == version)) continue;
      kept = patchFrom(run, name, version, older.name, target.name, record, engine);
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
    std::string dir = std::string(kServerFolder) + "/" + folder;
    if (run.out->kind(dir) != EntryKind::folder) continue;
    for (const FolderEntry& entry : run.out->list(dir)) {
      if (entry.kind != EntryKind::file && entry.kind != EntryKind::link) continue;
      const std::string& file = entry.name;
      std::string relative = dir + "/" + file;
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
