#include "verify_patches.h"

#include <zlib.h>

#include <sstream>
#include <stdexcept>

#include "base/names.h"
#include "deltas.h"
#include "engine/patch_apply.h"
#include "platform/platform.h"
#include "update/manifest.h"
#include "update/patch_index.h"
#include "update/signature.h"
#include "xdelta3_apply.h"

namespace fs = std::filesystem;

// Applies each patch of update.patches to its base, kept in the publisher's
// history, and checks the result against update.dat's line for the file;
// with a signature, also the index against it.
void verifyPatches(const OutputFolder& out,
                   const std::map<std::string, std::vector<std::string>>& lines,
                   const SignatureFile* signature, const fs::path& scratch, ProgressEngine& engine,
                   VerifyResult& result) {
  fs::path indexPath = out.pathOf(kPatchIndexName);
  bool served = out.kind(kPatchIndexName) == EntryKind::file;
  if (signature && signature->hasPatchIndex != served) {
    result.problems.push_back(served ? shown(indexPath) + " is not covered by update.dat.sig"
                                     : "update.dat.sig covers " + shown(indexPath) +
                                           ", which is missing");
  }
  if (!served) return;
  std::string text =
      readServed(out, kPatchIndexName, static_cast<std::uint64_t>(kMaxPatchIndexSize));
  Sha256 sum;
  sum.update(text.data(), text.size());
  if (signature && signature->hasPatchIndex && sum.finish() != signature->patchIndex) {
    result.problems.push_back(shown(indexPath) + " is not the index update.dat.sig signs");
  }
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kPatchIndexFormatLine) {
    result.problems.push_back(shown(indexPath) + " is not a patch index of format 1");
    return;
  }
  fs::path base = scratch;
  base += ".base";
  fs::path patchedPath = scratch;
  patchedPath += ".patched";
  struct Remove {
    std::vector<fs::path> paths;
    ~Remove() {
      std::error_code ignored;
      for (const fs::path& path : paths) fs::remove(path, ignored);
    }
  } remove{{base, patchedPath}};
  for (std::size_t number = 2; std::getline(in, line); ++number) {
    std::string where = "update.patches line " + std::to_string(number) + ": ";
    std::string name;
    PatchEntry entry;
    Status read = readPatchLine(line, &name, &entry);
    if (!read.ok()) {
      result.problems.push_back(where + read.error);
      continue;
    }
    auto listed = lines.find(name);
    if (listed == lines.end()) {
      result.problems.push_back(where + quotedName(name) + " is not in update.dat");
      continue;
    }
    fs::path patchPath = out.pathOf(entry.path);
    std::string history = historyName(entry.baseSha);
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    Sha256Digest sha{};
    FilePtr patchFile = out.openRead(entry.path);
    if (!patchFile) {
      result.problems.push_back(where + "the patch " + shown(patchPath) + " is missing");
      continue;
    }
    measureStream(patchFile.get(), patchPath, &size, &crc, {}, &sha);
    if (size != static_cast<std::uint64_t>(entry.size) || sha != entry.sha) {
      result.problems.push_back(where + "the patch " + shown(patchPath) +
                                " is not the one the index lists");
      continue;
    }
    // The base, as a player has it installed.
    Sha256 baseSum;
    engine.inputHash = nullptr;
    engine.outputHash = &baseSum;
    engine.outputLimit = static_cast<std::uint64_t>(INT32_MAX);
    int status = Z_ERRNO;
    if (FilePtr historyFile = out.openRead(history)) {
      FilePtr baseFile(openShared(narrowOrThrow(base), "wb"));
      status = engine.decompress(historyFile.get(), baseFile.get());
    }
    engine.outputHash = nullptr;
    if (status != Z_OK || static_cast<std::int64_t>(engine.total_out) != entry.baseSize ||
        engine.outputCrc != entry.baseCrc || baseSum.finish() != entry.baseSha) {
      result.problems.push_back(where + "the base of " + quotedName(name) +
                                " is not in the publisher's history as the index describes it");
      continue;
    }
    const std::vector<std::string>& fields = listed->second;
    std::int32_t listedSize = readLong32(fields[2]);
    // The updater's own decoder, and xdelta3's as a cross-check: older
    // updaters apply patches with xdelta3, and the two must agree.
    PatchOutcome applied, crossCheck;
    const bool zlibForm = entry.form == PatchForm::zlib;
    for (PatchOutcome* outcome : {&applied, &crossCheck}) {
      // Only updaters with the own decoder read the zlib form.
      if (outcome == &crossCheck && zlibForm) {
        crossCheck = applied;
        break;
      }
      FilePtr baseFile(openShared(narrowOrThrow(base), "rb"));
      FilePtr patched(openShared(narrowOrThrow(patchedPath), "wb"));
      if (!baseFile || !patched || !seek(patchFile.get(), 0)) {
        throw std::runtime_error("cannot apply " + shown(patchPath));
      }
      const std::uint64_t limit = static_cast<std::uint64_t>(sizeBound(listedSize));
      *outcome = outcome == &applied ? (zlibForm ? applyZlibPatch : applyPatch)(
                                           baseFile.get(), patchFile.get(), patched.get(), limit,
                                           nullptr, BaseCache())
                                     : applyPatchWithXdelta3(baseFile.get(), patchFile.get(),
                                                             patched.get(), limit, nullptr);
    }
    if (applied.ok != crossCheck.ok ||
        (applied.ok && (applied.size != crossCheck.size || applied.crc != crossCheck.crc))) {
      auto said = [](const PatchOutcome& outcome) {
        return outcome.ok ? std::to_string(outcome.size) + " bytes, CRC " + signedCrc(outcome.crc)
                          : "fails: " + outcome.error;
      };
      result.problems.push_back(where +
                                "the updater's decoder and xdelta3 disagree on the patch for " +
                                quotedName(name) + ": the updater's " + said(applied) +
                                "; xdelta3's " + said(crossCheck));
    } else if (!applied.ok) {
      result.problems.push_back(where + "the patch for " + quotedName(name) +
                                " does not apply: " + applied.error);
    } else if (applied.size != listedSize ||
               applied.crc != static_cast<std::uint32_t>(readLong32(fields[3]))) {
      result.problems.push_back(where + "the patch for " + quotedName(name) +
                                " does not give the file update.dat lists");
    } else {
      ++result.patchesChecked;
    }
  }
}
