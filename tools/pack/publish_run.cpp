#include <stdexcept>
#include <system_error>

#include "base/names.h"
#include "publish_steps.h"

namespace fs = std::filesystem;

namespace {

bool present(const fs::path& path) {
  return fs::exists(statusOf(path));
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

}  // namespace

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
