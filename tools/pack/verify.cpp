#include <zlib.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "base/names.h"
#include "commit.h"
#include "hash/crc32.h"
#include "hash/hex.h"
#include "hash/sha256.h"
#include "journal.h"
#include "output_folder.h"
#include "output_lock.h"
#include "pack.h"
#include "pack_platform.h"
#include "pack_support.h"
#include "platform/platform.h"
#include "update/manifest.h"
#include "update/signature.h"
#include "verify_patches.h"

namespace fs = std::filesystem;

namespace {

// Scratch files of verify start with this, in the system's temporary folder.
constexpr char kVerifyPrefix[] = "brightwick-pack-verify-";

// One problem line for verify.
std::string problemOf(const std::string& name, const std::string& text) {
  return quotedName(name) + ": " + text;
}

// Compares what `name` inflated to (`size` bytes, SHA-256 `sha`) with the
// release folder's file of that name.
void compareWithRelease(const fs::path& release, const std::string& name, std::int64_t size,
                        const Sha256Digest& sha, VerifyResult& result) {
  fs::path file = release / manifestNamePath(name);
  std::error_code error;
  if (!fs::is_regular_file(fs::symlink_status(file, error))) {
    result.problems.push_back(problemOf(name, "the release has no such file (" + shown(file) + ")"));
    return;
  }
  std::uint64_t releaseSize = 0;
  std::uint32_t crc = 0;
  Sha256Digest releaseSha{};
  measureFile(file, &releaseSize, &crc, {}, &releaseSha);
  if (static_cast<std::uint64_t>(size) != releaseSize || sha != releaseSha) {
    result.problems.push_back(
        problemOf(name, "inflates to other bytes than the release's " + shown(file) +
                            ": it is not the file the studio released"));
  }
}

// Checks one entry's packed file by inflating it into `scratch`.
void verifyEntry(const OutputFolder& out, const std::vector<std::string>& fields,
                 const std::string& scratch, const fs::path& release, ProgressEngine& engine,
                 VerifyResult& result) {
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
  FilePtr packed = out.openRead(name);
  if (!packed) {
    EntryKind kind = out.kind(name);
    result.problems.push_back(problemOf(
        name, kind == EntryKind::missing ? "the packed file is missing"
              : kind == EntryKind::link || kind == EntryKind::blocked
                  ? "the packed file is, or is reached through, a symbolic link"
                  : "the packed file is not a plain file"));
    return;
  }
  std::int32_t listedPacked = readLong32(fields[1]);
  std::int32_t listedSize = readLong32(fields[2]);
  std::uint32_t listedCrc = static_cast<std::uint32_t>(readLong32(fields[3]));
  std::int64_t packedSize = fileLength(packed.get());
  if (packedSize >= 0 && packedSize != listedPacked) {
    result.problems.push_back(problemOf(name, "the packed file has " + std::to_string(packedSize) +
                                                  " bytes, update.dat lists " +
                                                  std::to_string(listedPacked)));
  }
  engine.outputLimit = static_cast<std::uint64_t>(sizeBound(listedSize));
  engine.total_out = 0;
  // A signed line's SHA-256 of the packed file, taken as it is read; the
  // content's, to compare with the release.
  Sha256 packedHash, contentHash;
  bool checkHash = fields.size() > kManifestFields;
  engine.inputHash = checkHash ? &packedHash : nullptr;
  engine.outputHash = release.empty() ? nullptr : &contentHash;
  int status;
  {
    FilePtr inflatedOut(openShared(scratch, "wb"));
    status = engine.decompress(packed.get(), inflatedOut.get());
  }
  engine.inputHash = engine.outputHash = nullptr;
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
  if (!release.empty()) compareWithRelease(release, name, size, contentHash.finish(), result);
}

// Takes the publisher's lock on `out` for the check, and repairs what a
// killed publish left; false, with the problem in `result`, if either
// cannot be done. A folder no publish of this version has written has no
// server folder, and nothing to repair; it is not given one.
bool lockAndRepair(const OutputFolder& out, OutputLock& lock, VerifyResult& result) {
  EntryKind server = out.kind(kServerFolder);
  if (server == EntryKind::missing) return true;
  if (server != EntryKind::folder) {
    result.problems.push_back(shown(out.pathOf(kServerFolder)) +
                              " is not a folder of its own (a symbolic link, a junction or a "
                              "file): neither publish nor verify works through it");
    return false;
  }
  const std::string name = std::string(kServerFolder) + "/" + kLockName;
  const std::string journal = std::string(kServerFolder) + "/" + kJournalName;
  LockOutcome outcome = lock.take(out, name);
  if (outcome == LockOutcome::busy) {
    result.problems.push_back("a publish into " + shown(out.root()) + " is running (it holds " +
                              shown(out.pathOf(name)) + "); verify when it has finished");
    return false;
  }
  if (outcome == LockOutcome::failed) {
    std::string why = whyNot(out, name);
    // A read-only copy of the folder can still be checked, unless a publish
    // was interrupted in it.
    if (out.kind(journal) == EntryKind::missing) return true;
    result.problems.push_back(shown(out.pathOf(journal)) +
                              " is left from an interrupted publish, and it cannot be repaired "
                              "without the lock (" +
                              shown(out.pathOf(name)) + ": " + why + ")");
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

// Checks update.dat.sig against `key` and the manifest's bytes.
void verifySignature(const OutputFolder& out, const PublicKey& key, const std::string& manifest,
                     VerifyResult& result, SignatureFile* checked) {
  fs::path path = out.pathOf(kSignatureName);
  if (out.kind(kSignatureName) != EntryKind::file) {
    result.problems.push_back(shown(path) + " is missing: the folder is not signed");
    return;
  }
  SignatureFile file;
  std::string text = readServed(out, kSignatureName, kMaxSignatureFileSize + 1);
  Status status = parseSignatureFile(text, &file);
  if (status.ok()) status = verifySignatureFile(file, {key});
  if (!status.ok()) {
    result.problems.push_back(shown(path) + ": " + status.error);
    return;
  }
  if (sha256Of(manifest) != file.manifest) {
    result.problems.push_back(shown(path) + " signs another update.dat than the one served");
  }
  result.serial = file.serial;
  *checked = file;
}

// The manifest's entries, with every problem of its lines in `result`.
std::vector<std::vector<std::string>> readEntries(const std::string& manifest, bool signedLines,
                                                  VerifyResult& result) {
  std::vector<std::vector<std::string>> entries;
  std::istringstream in(manifest);
  std::string line;
  std::vector<std::string> fields;
  std::set<std::string> seen;
  for (std::size_t number = 1; readManifestLine(in, line); ++number) {
    std::string where = "update.dat line " + std::to_string(number) + ": ";
    switch (parseManifestLine(line, fields)) {
      case LineKind::empty:
        break;
      case LineKind::malformed:
        result.problems.push_back(where + "fewer than four fields or no name: " + quotedName(line));
        break;
      case LineKind::unsafeName:
        result.problems.push_back(where + "the updater refuses the name " + quotedName(fields[0]));
        break;
      case LineKind::entry:
        if (signedLines && !isHashField(hashFieldOf(line))) {
          result.problems.push_back(where + quotedName(fields[0]) +
                                    " has no SHA-256 of its packed file, which a signed updater "
                                    "requires");
        } else if (signedLines) {
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
  return entries;
}

void verifyFolder(const OutputFolder& out, const ProgressFn& progress, const PublicKey* key,
                  const fs::path& release, VerifyResult& result) {
  OutputLock lock;
  if (!lockAndRepair(out, lock, result)) return;
  FilePtr manifestFile = out.openRead(kManifestName);
  std::int64_t manifestSize = manifestFile ? fileLength(manifestFile.get()) : -1;
  if (manifestSize < 0) {
    result.problems.push_back(shown(out.pathOf(kManifestName)) +
                              " cannot be read: " + whyNot(out, kManifestName));
    return;
  }
  if (manifestSize > kManifestBound) {
    result.problems.push_back(shown(out.pathOf(kManifestName)) + " has " +
                              std::to_string(manifestSize) + " bytes; the updater reads at most " +
                              std::to_string(kManifestBound));
    return;
  }
  std::string manifest = readWholeStream(manifestFile.get(), out.pathOf(kManifestName),
                                         static_cast<std::uint64_t>(kManifestBound));
  SignatureFile signature;
  bool signatureChecked = false;
  if (key) {
    if (!initCrypto()) throw std::runtime_error("libsodium cannot be initialised");
    std::size_t before = result.problems.size();
    verifySignature(out, *key, manifest, result, &signature);
    signatureChecked = result.problems.size() == before;
  }
  std::vector<std::vector<std::string>> entries = readEntries(manifest, key != nullptr, result);

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
      verifyEntry(out, fields, scratchText, release, engine, result);
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
    verifyPatches(out, lines, signatureChecked ? &signature : nullptr, scratch, engine, result);
  } catch (const std::exception& failure) {
    result.problems.push_back(failure.what());
  }
}

}  // namespace

VerifyResult verify(const fs::path& outDir, const ProgressFn& progress, const PublicKey* key,
                    const fs::path& release) {
  VerifyResult result;
  std::error_code error;
  if (!fs::is_directory(outDir, error)) {
    result.problems.push_back(shown(outDir / kManifestName) +
                              " cannot be read: " + shown(outDir) + " is not a folder");
    return result;
  }
  OutputFolder out(outDir);
  verifyFolder(out, progress, key, release, result);
  return result;
}
