#include <memory>
#include <stdexcept>
#include <system_error>

#include "commit.h"
#include "publish_steps.h"
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

// The signing key, read before anything is written and wiped when the run
// ends; null for an unsigned publish, or, with the reason in `result.errors`,
// when it cannot be read.
std::unique_ptr<SecretKey> loadKey(const PublishOptions& options, PublishResult& result) {
  if (options.signingKey.empty()) return nullptr;
  auto key = std::make_unique<SecretKey>();
  std::string why;
  if (!initCrypto() || !loadSecretKey(options.signingKey, key.get(), &why)) {
    result.errors.push_back("cannot sign with " + shown(options.signingKey) + ": " + why);
    return nullptr;
  }
  return key;
}

void publishInto(const fs::path& release, const fs::path& out, const PublishOptions& options,
                 Run& run, PublishResult& result) {
  if (!optionsAccepted(release, out, options, result)) return;
  std::unique_ptr<SecretKey> key = loadKey(options, result);
  if (!result.errors.empty()) return;
  const bool withSha = key != nullptr;
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

  // Pack.
  Journal journal;
  journal.scratch = run.scratchName;
  DeltaRun patches;
  patches.out = out;
  patches.scratch = scratch;
  patches.keep = deltas;
  patches.journal = &journal;
  readServedIndex(patches);
  PackedRelease packed =
      packRelease(files, previous, options, withSha, out, scratch, journal, patches, result);

  // Sign.
  planServedFiles(out, scratch, files, previous, packed, key.get(), patches, journal, result);

  // Commit.
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
