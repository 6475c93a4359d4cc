#include <memory>
#include <stdexcept>
#include <system_error>

#include "commit.h"
#include "publish_steps.h"
#include "serials.h"
#include "update/manifest.h"

namespace fs = std::filesystem;

namespace {

// The options, and the folders as far as they can be judged before anything
// is looked at; false, with the reason in `result.errors`, if they are
// refused.
bool optionsAccepted(const fs::path& release, const fs::path& out, const PublishOptions& options,
                     PublishResult& result) {
  if (options.level < 0 || options.level > 9) {
    result.errors.push_back("the level must be 0 to 9, not " + std::to_string(options.level));
    return false;
  }
  if (!fs::is_directory(release)) {
    result.errors.push_back(shown(release) + " is not a folder");
    return false;
  }
  fs::file_status outStatus = fs::status(out);
  if (fs::exists(outStatus) && !fs::is_directory(outStatus)) {
    result.errors.push_back(shown(out) + " exists and is not a folder");
    return false;
  }
  return true;
}

// The signing key and the serial last signed with it, read before anything
// is written; the key is wiped when the run ends. Nothing for an unsigned
// publish, and nothing, with the reason in `result.errors`, when either
// cannot be read.
Signing loadSigning(const PublishOptions& options, PublishResult& result) {
  Signing signing;
  if (options.signingKey.empty()) return signing;
  auto key = std::make_unique<SecretKey>();
  std::string why;
  if (!initCrypto() || !loadSecretKey(options.signingKey, key.get(), &why)) {
    result.errors.push_back("cannot sign with " + shown(options.signingKey) + ": " + why);
    return signing;
  }
  signing.keptSerial = readKeyState(options.signingKey);
  signing.records = std::make_unique<RecordKey>(*key);
  signing.key = std::move(key);
  signing.force = options.force;
  return signing;
}

void publishInto(const fs::path& release, const fs::path& out, const PublishOptions& options,
                 Run& run, PublishResult& result) {
  if (!optionsAccepted(release, out, options, result)) return;
  Signing signing = loadSigning(options, result);
  if (!result.errors.empty()) return;
  const bool withSha = signing.on();
  const int deltas = options.deltas < 0 ? (withSha ? kDefaultDeltas : 0) : options.deltas;
  if (deltas > 0 && !withSha) {
    result.errors.push_back(
        "patches (--deltas) need a signed publish (--sign): only signed "
        "updaters use them");
    return;
  }

  // Plan: what the release holds, before anything is written.
  std::vector<Candidate> files;
  if (!planRelease(release, out, options, &files, result)) return;

  // Everything below writes, only below the output folder and never through
  // a link there. A run killed from here on is put right by the next one,
  // before it does anything else.
  run.out = out;
  if (!takeLock(run, result)) return;
  const OutputFolder& folder = *run.folder;
  recoverOutput(folder, result.repairs);
  if (!result.errors.empty()) return;  // refusals from the release
  Previous previous = readPrevious(folder, signing.key.get(), result);
  checkOutputShape(folder, files, result);
  if (!result.errors.empty()) return;
  createScratch(run);
  const std::string& scratch = run.scratchName;

  // Pack.
  Journal journal;
  journal.scratch = scratch;
  DeltaRun patches;
  patches.out = &folder;
  patches.scratch = scratch;
  patches.keep = deltas;
  patches.journal = &journal;
  readServedIndex(patches, previous.indexText, previous.manifest,
                  previous.signatureCoversServed);
  PackedRelease packed =
      packRelease(files, previous, options, signing, folder, scratch, journal, patches, result);

  // Sign.
  planServedFiles(folder, scratch, files, previous, packed, signing, patches, journal, result);
  // The state file leads what is served: a serial it holds may never have
  // been served, but none is served that it lacks.
  if (result.serial != 0) writeKeyState(options.signingKey, result.serial);

  // Commit.
  if (journal.puts.empty() && journal.deletes.empty()) {
    run.committed = true;
    folder.removeTree(scratch);
    return;
  }
  CommitOutcome outcome;
  commitJournal(folder, journal, outcome);
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
