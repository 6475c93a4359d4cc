#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "commit.h"
#include "deltas.h"
#include "exclude.h"
#include "journal.h"
#include "output_lock.h"
#include "pack.h"
#include "pack_platform.h"
#include "pack_support.h"
#include "platform/platform.h"
#include "reuse_record.h"
#include "signing.h"
#include "shared/names.h"
#include "update/checksum.h"
#include "update/install.h"
#include "update/manifest.h"

namespace fs = std::filesystem;

namespace {

// A release file that will get a manifest line.
struct Candidate {
  std::string name;   // manifest name
  fs::path relative;  // below the release folder (and the output folder)
  fs::path source;
};

// What the output folder held before this run.
struct Previous {
  bool manifestExists = false;
  std::string manifest;  // kept to tell whether the new one differs
  bool recordsExist = false;
  std::string recordsText;
  PackedRecords records;
  // Names whose packed files may be there: those of the old manifest and of
  // the records. Those the release no longer has are deleted.
  std::set<std::string> names;
};

// What a run holds and has changed in the output folder before its commit.
struct Run {
  fs::path out;
  std::vector<fs::path> createdDirs;  // the output and server folders, if made now
  OutputLock lock;
  bool lockCreated = false;
  std::string scratchName;  // empty until created
  bool committed = false;
};

bool present(const fs::path& path) {
  return fs::exists(statusOf(path));
}

// Whether `inner` is `outer` or lies inside it, by their names; both are
// absolute with links and ".." resolved.
bool isWithin(const fs::path& inner, const fs::path& outer) {
  auto ia = inner.begin();
  for (auto ib = outer.begin(); ib != outer.end(); ++ib, ++ia) {
    if (ib->empty()) continue;  // the trailing "" of "dir/"
    if (ia == inner.end() || *ia != *ib) return false;
  }
  return true;
}

// The identities of `path` and of every folder above it that exists.
std::set<FileIdentity> identitiesUpFrom(const fs::path& path) {
  std::set<FileIdentity> identities;
  for (fs::path at = path; !at.empty(); at = at.parent_path()) {
    FileIdentity identity;
    if (fileIdentity(at, &identity)) identities.insert(identity);
    if (at == at.parent_path()) break;
  }
  return identities;
}

// Whether `folder` or a folder below it is one of `identities`.
bool reaches(const fs::path& folder, const std::set<FileIdentity>& identities) {
  FileIdentity identity;
  if (fileIdentity(folder, &identity) && identities.count(identity) != 0) return true;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied,
                                           error),
       end;
       !error && it != end; it.increment(error)) {
    std::error_code ignored;
    if (fs::is_directory(it->symlink_status(ignored)) && fileIdentity(it->path(), &identity) &&
        identities.count(identity) != 0) {
      return true;
    }
  }
  return false;
}

// Collects the release's files, sorted by name, with every refusal in
// `result.errors`. Sets `*holdsOutput` if one of its folders is one of
// `outFolders` (the output folder and those above it): then the output lies
// inside the release, reached through a mount.
std::vector<Candidate> walkRelease(const fs::path& release, const PublishOptions& options,
                                   const std::set<FileIdentity>& outFolders, bool* holdsOutput,
                                   PublishResult& result) {
  std::vector<std::string> patterns = builtinExcludes();
  patterns.insert(patterns.end(), options.excludes.begin(), options.excludes.end());
  std::vector<Candidate> files;
  for (fs::recursive_directory_iterator it(release), end; it != end; ++it) {
    const fs::directory_entry& entry = *it;
    fs::path relative = entry.path().lexically_relative(release);
    fs::file_status status = entry.symlink_status();
    FileIdentity identity;
    if (fs::is_directory(status) && fileIdentity(entry.path(), &identity) &&
        outFolders.count(identity) != 0) {
      *holdsOutput = true;
      return {};
    }
    std::string name;
    if (!manifestNameOf(relative, &name)) {
      result.errors.push_back(shown(relative) +
                              ": the name cannot be written in the system's code page, which "
                              "update.dat is read in");
      if (fs::is_directory(status)) it.disable_recursion_pending();
      continue;
    }
    if (excludedBy(patterns, name)) {
      if (fs::is_directory(status)) {
        it.disable_recursion_pending();
        result.excluded.push_back(name + "/");
      } else {
        result.excluded.push_back(name);
      }
      continue;
    }
    if (fs::is_symlink(status)) {
      result.warnings.push_back("skipped " + quotedName(name) + ": a symbolic link");
      continue;
    }
    if (fs::is_directory(status)) continue;
    if (!fs::is_regular_file(status)) {
      result.warnings.push_back("skipped " + quotedName(name) + ": not a regular file");
      continue;
    }
    std::string problem = nameProblem(name);
    if (!problem.empty()) {
      result.errors.push_back(quotedName(name) + ": the name " + problem);
      continue;
    }
    std::uintmax_t size = entry.file_size();
    if (size > static_cast<std::uintmax_t>(INT32_MAX)) {
      result.errors.push_back(quotedName(name) + ": " + std::to_string(size) +
                              " bytes; the updater's sizes are signed 32-bit numbers, so a file "
                              "must be smaller than 2 GiB");
      continue;
    }
    files.push_back({name, relative, entry.path()});
  }
  std::sort(files.begin(), files.end(),
            [](const Candidate& a, const Candidate& b) { return a.name < b.name; });
  return files;
}

Previous readPrevious(const fs::path& out, PublishResult& result) {
  Previous previous;
  fs::path manifestPath = out / kManifestName;
  std::error_code error;
  std::uintmax_t size = fs::file_size(manifestPath, error);
  // A manifest the updater would not take is no basis for anything either.
  if (!error && size <= static_cast<std::uintmax_t>(kManifestBound)) {
    previous.manifest = readWholeFile(manifestPath, static_cast<std::uint64_t>(kManifestBound));
    previous.manifestExists = true;
    std::istringstream lines(previous.manifest);
    std::string line;
    std::vector<std::string> fields;
    while (readManifestLine(lines, line)) {
      if (parseManifestLine(line, fields) == LineKind::entry) previous.names.insert(fields[0]);
    }
  }
  fs::path recordsPath = out / kServerFolder / kRecordsName;
  if (present(recordsPath)) {
    previous.recordsText = readWholeFile(recordsPath, kRecordsBound);
    previous.recordsExist = true;
    std::string warning;
    previous.records = parseRecords(previous.recordsText, &warning);
    if (!warning.empty()) {
      result.warnings.push_back(shown(recordsPath) + " is " + warning +
                                "; every file is packed again");
    }
    for (const auto& record : previous.records) previous.names.insert(record.first);
  }
  return previous;
}

// Refuses output folders whose shape the new packed files cannot take
// without deleting something first: a folder where a file goes, or a file
// where a folder goes.
void checkOutputShape(const fs::path& out, const std::vector<Candidate>& files,
                      PublishResult& result) {
  std::set<fs::path> checkedDirs;
  for (const Candidate& file : files) {
    fs::path target = out / file.relative;
    fs::file_status status = statusOf(target);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
      result.errors.push_back(shown(target) +
                              " exists and is not a plain file; move it away to publish " +
                              quotedName(file.name));
    }
    for (fs::path dir = file.relative.parent_path(); !dir.empty(); dir = dir.parent_path()) {
      if (!checkedDirs.insert(dir).second) break;
      fs::file_status dirStatus = statusOf(out / dir);
      if (fs::exists(dirStatus) && !fs::is_directory(dirStatus)) {
        result.errors.push_back(shown(out / dir) +
                                " is not a folder, but the release has files in it");
      }
    }
  }
}

// Creates `dir` and its missing parents, remembering each for the undo.
void createFolders(Run& run, const fs::path& dir) {
  std::vector<fs::path> missing;
  for (fs::path at = dir; !at.empty() && !present(at); at = at.parent_path()) {
    missing.push_back(at);
    if (at == at.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    fs::create_directory(*it);
    run.createdDirs.push_back(*it);
  }
}

// Takes the output folder's lock, making the folders it lives in; false,
// with the reason in `result.errors`, if another run holds it.
bool takeLock(Run& run, PublishResult& result) {
  fs::path server = run.out / kServerFolder;
  createFolders(run, server);
  fs::path path = server / kLockName;
  bool existed = present(path);
  LockOutcome outcome = run.lock.take(path);
  if (outcome == LockOutcome::taken) {
    run.lockCreated = !existed;
    return true;
  }
  result.errors.push_back(outcome == LockOutcome::busy
                              ? "another brightwick-pack is publishing into " + shown(run.out) +
                                    " or repairing it (it holds " + shown(path) +
                                    "); run one at a time, and try again when it has finished"
                              : "cannot lock " + shown(path) + ": " + errnoText());
  return false;
}

void createScratch(Run& run) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = kScratchPrefix + randomSuffix();
    if (fs::create_directory(run.out / name)) {
      run.scratchName = name;
      return;
    }
  }
  throw std::runtime_error("cannot create a scratch folder in " + shown(run.out));
}

// Puts the output folder back as it was for a run that did not commit: its
// scratch folder, the lock file and the folders it made go. A commit that
// failed has undone its moves already; one that could not leaves its journal,
// and with it the scratch folder, for the next run.
void abandon(Run& run, PublishResult& result) {
  bool journalLeft = present(run.out / kServerFolder / kJournalName);
  if (!run.scratchName.empty() && !journalLeft) {
    std::error_code error;
    fs::remove_all(run.out / run.scratchName, error);
    if (error) {
      result.warnings.push_back("could not remove the scratch folder " +
                                shown(run.out / run.scratchName));
    }
  }
  if (run.lockCreated && !journalLeft) {
    run.lock.removeAndRelease();
  } else {
    run.lock.release();
  }
  for (auto it = run.createdDirs.rbegin(); it != run.createdDirs.rend(); ++it) {
    std::error_code ignored;
    fs::remove(*it, ignored);  // only if empty
  }
}

// Whether the packed file a previous run made for `file` may stand for it:
// the release file has the size and CRC its record says went into it, and
// the packed file is still the one the record describes. Reads both.
bool reusable(const Candidate& file, PackedRecord& record, const fs::path& packed,
              std::vector<unsigned char>& buffer, const std::function<void(std::uint64_t)>& report,
              bool withSha) {
  std::error_code error;
  std::uintmax_t releaseSize = fs::file_size(file.source, error);
  if (error || releaseSize != static_cast<std::uintmax_t>(record.size)) return false;
  std::uintmax_t packedSize = fs::file_size(packed, error);
  if (error || !fs::is_regular_file(statusOf(packed)) ||
      packedSize != static_cast<std::uintmax_t>(record.packedSize)) {
    return false;
  }
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  Sha256Digest sha{}, packedSha{};
  measureFile(file.source, buffer, &size, &crc, report, withSha ? &sha : nullptr);
  if (size != static_cast<std::uint64_t>(record.size) || crc != record.crc) return false;
  std::uint64_t read = size;
  measureFile(packed, buffer, &size, &crc, [&](std::uint64_t bytes) { report(read + bytes); },
              withSha ? &packedSha : nullptr);
  if (size != static_cast<std::uint64_t>(record.packedSize) || crc != record.packedCrc) {
    return false;
  }
  if (!withSha) return true;
  // Sums a signed publish kept must still hold; an unsigned one's record
  // gains them from the bytes just read.
  if (record.hasSha && (record.sha != sha || record.packedSha != packedSha)) return false;
  record.hasSha = true;
  record.sha = sha;
  record.packedSha = packedSha;
  return true;
}

// Packs `file` into `scratchFile`. The record's size and CRC are those of
// the bytes that went into the stream, so that nothing done to the release
// file meanwhile can make the manifest disagree with the packed file.
PackedRecord pack(const Candidate& file, const fs::path& scratchFile, ProgressEngine& engine,
                  int level, bool withSha) {
  std::error_code error;
  fs::file_time_type writtenBefore = fs::last_write_time(file.source, error);
  std::uintmax_t sizeBefore = fs::file_size(file.source, error);
  engine.total_out = 0;
  Sha256 inputHash, outputHash;
  engine.inputHash = withSha ? &inputHash : nullptr;
  engine.outputHash = withSha ? &outputHash : nullptr;
  int status = engine.compress(narrowOrThrow(file.source).c_str(),
                               narrowOrThrow(scratchFile).c_str(), level);
  engine.inputHash = engine.outputHash = nullptr;
  if (status != Z_OK) {
    bool tooLarge = engine.total_out > engine.outputLimit;
    throw std::runtime_error(
        "cannot compress " + quotedName(file.name) +
        (tooLarge ? ": it compresses to 2 GiB or more, beyond the updater's sizes"
                  : ": zlib result " + std::to_string(status) +
                        " (unreadable file, or the output folder's disk is full)"));
  }
  // total_in has 32 bits on Windows; a file that grew far enough to wrap it
  // shows in its size and time stamp below.
  std::uint64_t read = static_cast<std::uint64_t>(engine.total_in);
  if (read > static_cast<std::uint64_t>(INT32_MAX)) {
    throw std::runtime_error(quotedName(file.name) +
                             " grew to 2 GiB or more while being published");
  }
  // An ordinary write shows in the time stamp or the size, and is reported;
  // a change that shows in neither still yields a packed file and a manifest
  // line that agree.
  fs::file_time_type writtenAfter = fs::last_write_time(file.source, error);
  if (error || writtenAfter != writtenBefore || read != sizeBefore) {
    throw std::runtime_error(quotedName(file.name) + " changed while it was being published");
  }
  // The output limit keeps total_out below 2 GiB.
  std::uint64_t written = static_cast<std::uint64_t>(engine.total_out);
  if (fs::file_size(scratchFile) != written) {
    throw std::runtime_error("the packed " + quotedName(file.name) + " in " + shown(scratchFile) +
                             " is not what was written to it");
  }
  PackedRecord record;
  record.packedSize = static_cast<std::int32_t>(written);
  record.packedCrc = engine.outputCrc;
  record.size = static_cast<std::int32_t>(read);
  record.crc = engine.inputCrc;
  if (withSha) {
    record.hasSha = true;
    record.sha = inputHash.finish();
    record.packedSha = outputHash.finish();
  }
  return record;
}

// Whether the served signature file is `key`'s, for a manifest with hash
// `manifest`: then a publish that changes nothing leaves it alone.
bool signatureStands(const fs::path& out, const SecretKey& key, const Sha256Digest& manifest,
                     const Sha256Digest* patches) {
  SignatureFile file;
  std::string why;
  fs::path path = out / kSignatureName;
  if (!present(path)) return false;
  std::string text = readWholeFile(path, kMaxSignatureFileSize + 1);
  return parseSignatureFile(text, &file, &why) && file.manifest == manifest &&
         file.hasPatchIndex == (patches != nullptr) &&
         (!patches || file.patchIndex == *patches) &&
         verifySignatureFile(file, {key.publicKey()}, &why);
}

Sha256Digest sha256Of(const std::string& text) {
  Sha256 sum;
  sum.update(text.data(), text.size());
  return sum.finish();
}

// Writes `text` into the scratch folder as `source` and plans its move to
// `target`.
void planText(const fs::path& scratch, const std::string& source, const std::string& target,
              const std::string& text, Journal& journal) {
  writeWholeFile(scratch / source, text);
  JournalPut put;
  put.source = source;
  put.target = target;
  put.size = text.size();
  put.crc = crc32Update(0, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  journal.puts.push_back(put);
}

void publishInto(const fs::path& release, const fs::path& out, const PublishOptions& options,
                 Run& run, PublishResult& result) {
  if (options.level < 0 || options.level > 9) {
    result.errors.push_back("the level must be 0 to 9, not " + std::to_string(options.level));
    return;
  }
  if (!fs::is_directory(release)) {
    result.errors.push_back(shown(release) + " is not a folder");
    return;
  }
  fs::file_status outStatus = fs::status(out);
  if (fs::exists(outStatus) && !fs::is_directory(outStatus)) {
    result.errors.push_back(shown(out) + " exists and is not a folder");
    return;
  }
  // The key is read before anything is written, and wiped when the run ends.
  std::unique_ptr<SecretKey> key;
  if (!options.signingKey.empty()) {
    key = std::make_unique<SecretKey>();
    std::string why;
    if (!initCrypto() || !loadSecretKey(options.signingKey, key.get(), &why)) {
      result.errors.push_back("cannot sign with " + shown(options.signingKey) + ": " + why);
      return;
    }
  }
  const bool withSha = key != nullptr;
  const int deltas = options.deltas < 0 ? (withSha ? kDefaultDeltas : 0) : options.deltas;
  if (deltas > 0 && !withSha) {
    result.errors.push_back("patches (--deltas) need a signed publish (--sign): only signed "
                            "updaters use them");
    return;
  }

  // Publishing a folder into itself would list its own output, and a later
  // run would pack that too. Relative names, links and mounts can hide it, so
  // the folders are compared as absolute paths and by identity, and each
  // folder of both trees is looked at, before anything is written.
  fs::path releaseReal = fs::canonical(fs::absolute(release));
  fs::path outReal = fs::weakly_canonical(fs::absolute(out));
  std::set<FileIdentity> outFolders = identitiesUpFrom(outReal);
  std::set<FileIdentity> releaseFolders = identitiesUpFrom(releaseReal);
  FileIdentity releaseIdentity, outIdentity;
  bool apart = !isWithin(outReal, releaseReal) && !isWithin(releaseReal, outReal) &&
               fileIdentity(releaseReal, &releaseIdentity) &&
               outFolders.count(releaseIdentity) == 0 &&
               !(fileIdentity(outReal, &outIdentity) && releaseFolders.count(outIdentity) != 0);
  std::vector<Candidate> files;
  if (apart) {
    bool holdsOutput = false;
    files = walkRelease(release, options, outFolders, &holdsOutput, result);
    apart = !holdsOutput && !(present(outReal) && reaches(outReal, releaseFolders));
  }
  if (!apart) {
    result.errors.assign(1, "the release folder and the output folder must lie apart (one must "
                            "not be inside the other, also not through a link or a mount): " +
                                shown(releaseReal) + ", " + shown(outReal));
    return;
  }

  // Everything below writes. A run killed from here on is put right by the
  // next one, before it does anything else.
  run.out = out;
  if (!takeLock(run, result)) return;
  recoverOutput(out, result.repairs);
  if (!result.errors.empty()) return;  // refusals from the release
  Previous previous = readPrevious(out, result);
  checkOutputShape(out, files, result);
  if (!result.errors.empty()) return;
  createScratch(run);
  const fs::path scratch = out / run.scratchName;

  PackProgress progress;
  progress.filesTotal = files.size();
  auto report = [&](std::uint64_t base, std::uint64_t fileBytes) {
    if (!options.progress) return;
    progress.bytesDone = base + fileBytes;
    options.progress(progress);
  };

  std::vector<unsigned char> buffer(kReadChunk);
  ProgressEngine engine;
  // A packed size must fit the manifest's signed 32-bit field too.
  engine.outputLimit = static_cast<std::uint64_t>(INT32_MAX);
  std::string manifest;
  PackedRecords records;
  Journal journal;
  journal.scratch = run.scratchName;
  DeltaRun patches;
  patches.out = out;
  patches.scratch = scratch;
  patches.keep = deltas;
  patches.journal = &journal;
  readServedIndex(patches);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const Candidate& file = files[i];
    progress.current = file.name;
    const std::uint64_t base = progress.bytesDone;
    std::uint64_t read = 0;
    auto onBytes = [&](std::uint64_t bytes) {
      read = bytes;
      report(base, bytes);
    };

    auto previousRecord = previous.records.find(file.name);
    PackedRecord record;
    if (!options.force && previousRecord != previous.records.end() &&
        reusable(file, previousRecord->second, out / file.relative, buffer, onBytes, withSha)) {
      record = previousRecord->second;
      keepPatches(patches, file.name, record);
      result.reused.push_back(file.name);
    } else {
      std::uint64_t measured = read;
      engine.onBytes = [&](std::uint64_t bytes) { report(base + measured, bytes); };
      record = pack(file, scratch / std::to_string(i), engine, options.level, withSha);
      read = measured + static_cast<std::uint64_t>(record.size);
      JournalPut put;
      put.source = std::to_string(i);
      put.target = file.name;
      put.size = static_cast<std::uint64_t>(record.packedSize);
      put.crc = record.packedCrc;
      journal.puts.push_back(put);
      result.packed.push_back(file.name);
      result.bytesCompressed += static_cast<std::uint64_t>(record.size);
      if (withSha) {
        makePatches(patches, file.name, scratch / put.source, record,
                    previousRecord != previous.records.end() ? &previousRecord->second : nullptr,
                    out / file.relative, engine);
      }
    }
    records[file.name] = record;
    manifest += formatManifestLine(file.name, record.packedSize, record.size, record.crc);
    // A signed manifest names each packed file's SHA-256 in a fifth field,
    // which older updaters ignore.
    if (withSha) manifest += "," + toHex(record.packedSha);
    manifest += "\n";
    progress.bytesDone = base + read;
    progress.filesDone = i + 1;
    report(progress.bytesDone, 0);
  }
  result.listed = files.size();
  if (manifest.size() > static_cast<std::size_t>(kManifestBound)) {
    throw std::runtime_error("update.dat would be " + std::to_string(manifest.size()) +
                             " bytes; the updater reads at most " + std::to_string(kManifestBound) +
                             " bytes");
  }

  // The files beside the packed ones, in the order they move: the records
  // first, then companions of update.dat (such as its signature), then
  // update.dat itself, last, as the commit point.
  std::string recordsText = formatRecords(records);
  if (!previous.recordsExist || recordsText != previous.recordsText) {
    planText(scratch, kRecordsName, std::string(kServerFolder) + "/" + kRecordsName, recordsText,
             journal);
  }
  result.manifestChanged = !previous.manifestExists || manifest != previous.manifest;
  const Sha256Digest manifestSha = sha256Of(manifest);
  // The patch index, then the signature that covers both, go just before
  // update.dat.
  std::string index = finishPatches(patches);
  fs::path indexPath = out / kPatchIndexName;
  bool indexServed = fs::is_regular_file(statusOf(indexPath));
  if (!index.empty() &&
      (!indexServed ||
       readWholeFile(indexPath, static_cast<std::uint64_t>(kMaxPatchIndexSize)) != index)) {
    planText(scratch, kPatchIndexName, kPatchIndexName, index, journal);
  } else if (index.empty() && indexServed) {
    journal.deletes.push_back(kPatchIndexName);
  }
  result.patchesMade = patches.made;
  result.patchesServed = patches.index.size();
  const Sha256Digest indexSha = sha256Of(index);
  const Sha256Digest* indexSigned = index.empty() ? nullptr : &indexSha;
  if (key && (result.manifestChanged || !signatureStands(out, *key, manifestSha, indexSigned))) {
    // The serial only grows, also when the clock went back.
    result.serial = nextSerial(servedSerial(out / kSignatureName),
                               static_cast<std::int64_t>(std::time(nullptr)));
    planText(scratch, kSignatureName, kSignatureName,
             signatureFor(*key, result.serial, manifestSha, indexSigned), journal);
  } else if (!key && result.manifestChanged && present(out / kSignatureName)) {
    // A signature of another manifest would only make signed updaters
    // refuse this one.
    journal.deletes.push_back(kSignatureName);
  }
  if (key) result.keyId = key->publicKey().id();
  if (result.manifestChanged) planText(scratch, kManifestName, kManifestName, manifest, journal);

  std::set<std::string> listed;
  for (const Candidate& file : files) listed.insert(fileSystemKey(file.name));
  for (const std::string& name : previous.names) {
    if (listed.insert(fileSystemKey(name)).second &&
        fs::is_regular_file(statusOf(out / manifestNamePath(name)))) {
      journal.deletes.push_back(name);
    }
  }

  if (journal.puts.empty() && journal.deletes.empty()) {
    run.committed = true;
    fs::remove_all(scratch);
    return;
  }
  CommitOutcome outcome;
  commitJournal(out, journal, outcome);
  run.committed = true;
  // The publisher's own files that went are no release files.
  for (const std::string& gone : outcome.deleted) {
    if (isSafeName(gone)) result.removed.push_back(gone);
  }
  result.warnings.insert(result.warnings.end(), outcome.warnings.begin(), outcome.warnings.end());
}

}  // namespace

PublishResult publish(const fs::path& releaseDir, const fs::path& outDir,
                      const PublishOptions& options) {
  PublishResult result;
  Run run;
  run.out = outDir;
  try {
    publishInto(releaseDir, outDir, options, run, result);
  } catch (const std::exception& error) {
    result.errors.push_back(error.what());
  }
  if (!run.committed) abandon(run, result);
  result.ok = run.committed && result.errors.empty();
  if (!result.ok) {
    // Nothing of a failed run is left behind, and nothing of it is reported
    // as done.
    result.packed.clear();
    result.reused.clear();
    result.removed.clear();
    result.manifestChanged = false;
  }
  return result;
}
