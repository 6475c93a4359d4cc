#include <zlib.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "base/names.h"
#include "commit.h"
#include "deltas.h"
#include "engine/patch_apply.h"
#include "hash/crc32.h"
#include "hash/hex.h"
#include "hash/sha256.h"
#include "journal.h"
#include "output_lock.h"
#include "pack.h"
#include "pack_platform.h"
#include "pack_support.h"
#include "platform/platform.h"
#include "update/manifest.h"
#include "update/patch_index.h"
#include "update/signature.h"
#include "xdelta3_apply.h"

namespace fs = std::filesystem;

namespace {

// Scratch files of verify start with this, in the system's temporary folder.
constexpr char kVerifyPrefix[] = "brightwick-pack-verify-";

// One problem line for verify.
std::string problemOf(const std::string& name, const std::string& text) {
  return quotedName(name) + ": " + text;
}

// Checks one entry's packed file by inflating it into `scratch`.
void verifyEntry(const fs::path& out, const std::vector<std::string>& fields,
                 const std::string& scratch, ProgressEngine& engine, VerifyResult& result) {
  const std::string& name = fields[0];
  // The updater compares the sizes as text, so only plain decimal matches.
  for (std::size_t field : {std::size_t{1}, std::size_t{2}}) {
    if (fields[field] != std::to_string(readLong32(fields[field])) ||
        readLong32(fields[field]) < 0) {
      result.problems.push_back(
          problemOf(name, (field == 1 ? "packed size " : "size ") + quotedName(fields[field]) +
                              " is not a plain decimal number, so the updater's size check fails"));
    }
  }
  fs::path packed = out / manifestNamePath(name);
  if (!fs::is_regular_file(statusOf(packed))) {
    result.problems.push_back(problemOf(name, "the packed file is missing"));
    return;
  }
  std::int32_t listedPacked = readLong32(fields[1]);
  std::int32_t listedSize = readLong32(fields[2]);
  std::uint32_t listedCrc = static_cast<std::uint32_t>(readLong32(fields[3]));
  std::error_code error;
  std::uintmax_t packedSize = fs::file_size(packed, error);
  if (!error && packedSize != static_cast<std::uintmax_t>(listedPacked)) {
    result.problems.push_back(problemOf(name, "the packed file has " + std::to_string(packedSize) +
                                                  " bytes, update.dat lists " +
                                                  std::to_string(listedPacked)));
  }
  engine.outputLimit = static_cast<std::uint64_t>(sizeBound(listedSize));
  engine.total_out = 0;
  // A signed line's SHA-256 of the packed file, taken as it is read.
  Sha256 packedHash;
  bool checkHash = fields.size() > kManifestFields;
  engine.inputHash = checkHash ? &packedHash : nullptr;
  int status = engine.decompress(narrowOrThrow(packed).c_str(), scratch.c_str());
  engine.inputHash = nullptr;
  if (checkHash && toHex(packedHash.finish()) != fields[kManifestFields]) {
    result.problems.push_back(problemOf(name,
                                        "the packed file's SHA-256 is not the one "
                                        "update.dat lists: it is not the file that was "
                                        "signed"));
  }
  if (status != Z_OK) {
    bool tooLarge = engine.total_out > engine.outputLimit;
    result.problems.push_back(problemOf(
        name, tooLarge ? "inflates to more than its listed " + std::to_string(listedSize) +
                             " bytes (stopped after " + std::to_string(engine.outputLimit) + ")"
                       : "does not inflate: not a complete zlib stream (zlib result " +
                             std::to_string(status) + ")"));
    return;
  }
  FilePtr inflated(openShared(scratch, "rb"));
  std::uint32_t crc = 0;
  if (!inflated || !crcOfFile(inflated.get(), &crc)) {
    throw std::runtime_error("cannot read back the scratch file " + quotedName(scratch));
  }
  std::int64_t size = fileLength(inflated.get());
  if (size != listedSize) {
    result.problems.push_back(problemOf(name, "inflates to " + std::to_string(size) +
                                                  " bytes, update.dat lists " +
                                                  std::to_string(listedSize)));
  } else if (crc != listedCrc) {
    result.problems.push_back(problemOf(name, "inflates to data with CRC " + signedCrc(crc) +
                                                  ", update.dat lists " + signedCrc(listedCrc)));
  }
}

// Takes the publisher's lock on `out` for the check, and repairs what a
// killed publish left; false, with the problem in `result`, if either
// cannot be done. A folder no publish of this version has written has no
// server folder, and nothing to repair; it is not given one.
bool lockAndRepair(const fs::path& out, OutputLock& lock, VerifyResult& result) {
  fs::path server = out / kServerFolder;
  if (!fs::is_directory(server)) return true;
  fs::path path = server / kLockName;
  LockOutcome outcome = lock.take(path);
  if (outcome == LockOutcome::busy) {
    result.problems.push_back("a publish into " + shown(out) + " is running (it holds " +
                              shown(path) + "); verify when it has finished");
    return false;
  }
  if (outcome == LockOutcome::failed) {
    // A read-only copy of the folder can still be checked, unless a publish
    // was interrupted in it.
    if (!fs::exists(server / kJournalName)) return true;
    result.problems.push_back(shown(server / kJournalName) +
                              " is left from an interrupted publish, and it cannot be repaired "
                              "without the lock (" +
                              shown(path) + ": " + errnoText() + ")");
    return false;
  }
  try {
    recoverOutput(out, result.repairs);
  } catch (const std::exception& failure) {
    result.problems.push_back(failure.what());
    return false;
  }
  return true;
}

}  // namespace

// Applies each patch of update.patches to its base, kept in the publisher's
// history, and checks the result against update.dat's line for the file;
// with a signature, also the index against it.
void verifyPatches(const fs::path& outDir,
                   const std::map<std::string, std::vector<std::string>>& lines,
                   const SignatureFile* signature, const fs::path& scratch, ProgressEngine& engine,
                   VerifyResult& result) {
  fs::path indexPath = outDir / kPatchIndexName;
  bool served = fs::is_regular_file(statusOf(indexPath));
  if (signature && signature->hasPatchIndex != served) {
    result.problems.push_back(served ? shown(indexPath) + " is not covered by update.dat.sig"
                                     : "update.dat.sig covers " + shown(indexPath) +
                                           ", which is missing");
  }
  if (!served) return;
  std::string text = readWholeFile(indexPath, static_cast<std::uint64_t>(kMaxPatchIndexSize));
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
  fs::path patched = scratch;
  patched += ".patched";
  struct Remove {
    std::vector<fs::path> paths;
    ~Remove() {
      std::error_code ignored;
      for (const fs::path& path : paths) fs::remove(path, ignored);
    }
  } remove{{base, patched}};
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
    fs::path patchPath = outDir / manifestNamePath(entry.path);
    fs::path history = outDir / manifestNamePath(historyName(entry.baseSha));
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    Sha256Digest sha{};
    if (!fs::is_regular_file(statusOf(patchPath))) {
      result.problems.push_back(where + "the patch " + shown(patchPath) + " is missing");
      continue;
    }
    measureFile(patchPath, &size, &crc, {}, &sha);
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
    int status =
        fs::is_regular_file(statusOf(history))
            ? engine.decompress(narrowOrThrow(history).c_str(), narrowOrThrow(base).c_str())
            : Z_ERRNO;
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
    for (PatchOutcome* outcome : {&applied, &crossCheck}) {
      FilePtr baseFile(openShared(narrowOrThrow(base), "rb"));
      FilePtr patchFile(openShared(narrowOrThrow(patchPath), "rb"));
      FilePtr out(openShared(narrowOrThrow(patched), "wb"));
      if (!baseFile || !patchFile || !out)
        throw std::runtime_error("cannot apply " + shown(patchPath));
      const std::uint64_t limit = static_cast<std::uint64_t>(sizeBound(listedSize));
      *outcome =
          outcome == &applied
              ? applyPatch(baseFile.get(), patchFile.get(), out.get(), limit, nullptr)
              : applyPatchWithXdelta3(baseFile.get(), patchFile.get(), out.get(), limit, nullptr);
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

// Checks update.dat.sig against `key` and the manifest's bytes.
void verifySignature(const fs::path& outDir, const PublicKey& key, const std::string& manifest,
                     VerifyResult& result, SignatureFile* checked) {
  fs::path path = outDir / kSignatureName;
  if (!fs::is_regular_file(statusOf(path))) {
    result.problems.push_back(shown(path) + " is missing: the folder is not signed");
    return;
  }
  SignatureFile file;
  std::string text = readWholeFile(path, kMaxSignatureFileSize + 1);
  Status status = parseSignatureFile(text, &file);
  if (status.ok()) status = verifySignatureFile(file, {key});
  if (!status.ok()) {
    result.problems.push_back(shown(path) + ": " + status.error);
    return;
  }
  Sha256 sum;
  sum.update(manifest.data(), manifest.size());
  if (sum.finish() != file.manifest) {
    result.problems.push_back(shown(path) + " signs another update.dat than the one served");
  }
  result.serial = file.serial;
  *checked = file;
}

VerifyResult verify(const fs::path& outDir, const ProgressFn& progress, const PublicKey* key) {
  VerifyResult result;
  OutputLock lock;
  if (!lockAndRepair(outDir, lock, result)) return result;
  fs::path manifestPath = outDir / kManifestName;
  std::error_code error;
  std::uintmax_t manifestSize = fs::file_size(manifestPath, error);
  if (error) {
    result.problems.push_back(shown(manifestPath) + " cannot be read: " + error.message());
    return result;
  }
  if (manifestSize > static_cast<std::uintmax_t>(kManifestBound)) {
    result.problems.push_back(shown(manifestPath) + " has " + std::to_string(manifestSize) +
                              " bytes; the updater reads at most " +
                              std::to_string(kManifestBound));
    return result;
  }

  std::vector<std::vector<std::string>> entries;
  SignatureFile signature;
  bool signatureChecked = false;
  if (key) {
    if (!initCrypto()) throw std::runtime_error("libsodium cannot be initialised");
    std::size_t before = result.problems.size();
    verifySignature(outDir, *key,
                    readWholeFile(manifestPath, static_cast<std::uint64_t>(kManifestBound)), result,
                    &signature);
    signatureChecked = result.problems.size() == before;
  }
  {
    std::ifstream in(manifestPath, std::ios::binary);
    std::string line;
    std::vector<std::string> fields;
    std::set<std::string> seen;
    for (std::size_t number = 1; readManifestLine(in, line); ++number) {
      std::string where = "update.dat line " + std::to_string(number) + ": ";
      switch (parseManifestLine(line, fields)) {
        case LineKind::empty:
          break;
        case LineKind::malformed:
          result.problems.push_back(where +
                                    "fewer than four fields or no name: " + quotedName(line));
          break;
        case LineKind::unsafeName:
          result.problems.push_back(where + "the updater refuses the name " +
                                    quotedName(fields[0]));
          break;
        case LineKind::entry:
          if (key && !isHashField(hashFieldOf(line))) {
            result.problems.push_back(where + quotedName(fields[0]) +
                                      " has no SHA-256 of its packed file, which a signed updater "
                                      "requires");
          } else if (key) {
            fields.push_back(hashFieldOf(line));
          }
          if (!seen.insert(fileSystemKey(fields[0])).second) {
            result.problems.push_back(where + quotedName(fields[0]) + " is listed twice");
          } else {
            entries.push_back(fields);
          }
          break;
      }
    }
  }

  fs::path scratch = fs::temp_directory_path() / (kVerifyPrefix + randomSuffix());
  struct RemoveScratch {
    const fs::path& path;
    ~RemoveScratch() {
      std::error_code ignored;
      fs::remove(path, ignored);
    }
  } removeScratch{scratch};
  std::string scratchText = narrowOrThrow(scratch);

  PackProgress shownProgress;
  shownProgress.filesTotal = entries.size();
  ProgressEngine engine;
  std::uint64_t base = 0;
  engine.onBytes = [&](std::uint64_t bytes) {
    if (!progress) return;
    shownProgress.bytesDone = base + bytes;
    progress(shownProgress);
  };
  for (const std::vector<std::string>& fields : entries) {
    shownProgress.current = fields[0];
    engine.total_in = 0;
    try {
      verifyEntry(outDir, fields, scratchText, engine, result);
    } catch (const std::exception& failure) {
      result.problems.push_back(problemOf(fields[0], failure.what()));
    }
    base += engine.total_in;
    ++result.checked;
    ++shownProgress.filesDone;
    shownProgress.bytesDone = base;
    if (progress) progress(shownProgress);
  }
  std::map<std::string, std::vector<std::string>> lines;
  for (const std::vector<std::string>& fields : entries) lines[fields[0]] = fields;
  engine.onBytes = nullptr;
  try {
    verifyPatches(outDir, lines, signatureChecked ? &signature : nullptr, scratch, engine, result);
  } catch (const std::exception& failure) {
    result.problems.push_back(failure.what());
  }
  return result;
}
