#include <stdexcept>
#include <system_error>

#include "base/names.h"
#include "publish_steps.h"

namespace fs = std::filesystem;

namespace {

bool present(const fs::path& path) {
  return fs::exists(statusOf(path));
}

// Creates the output folder and its missing parents, remembering each for
// the undo. These are the studio's own path, named on the command line.
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
  createFolders(run, run.out);
  run.folder = std::make_unique<OutputFolder>(run.out);
  const OutputFolder& folder = *run.folder;
  // update.d holds the lock, the journal and the records: a link there
  // would put them, and every repair, in a folder of someone else's choice.
  EntryKind server = folder.kind(kServerFolder);
  if (server == EntryKind::missing) {
    if (!folder.makeFolder(kServerFolder)) {
      result.errors.push_back("cannot create " + shown(folder.pathOf(kServerFolder)) + ": " +
                              whyNot(folder, kServerFolder));
      return false;
    }
    run.serverCreated = true;
  } else if (server != EntryKind::folder) {
    result.errors.push_back(shown(folder.pathOf(kServerFolder)) +
                            " is not a folder of its own (a symbolic link, a junction or a "
                            "file); brightwick-pack keeps its records there and follows no link "
                            "in the output folder: move it away");
    return false;
  }
  std::string name = std::string(kServerFolder) + "/" + kLockName;
  bool existed = folder.kind(name) != EntryKind::missing;
  LockOutcome outcome = run.lock.take(folder, name);
  if (outcome == LockOutcome::taken) {
    run.lockCreated = !existed;
    return true;
  }
  result.errors.push_back(outcome == LockOutcome::busy
                              ? "another brightwick-pack is publishing into " + shown(run.out) +
                                    " or repairing it (it holds " + shown(folder.pathOf(name)) +
                                    "); run one at a time, and try again when it has finished"
                              : "cannot lock " + shown(folder.pathOf(name)) + ": " +
                                    whyNot(folder, name));
  return false;
}

void createScratch(Run& run) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = kScratchPrefix + randomSuffix();
    if (run.folder->makeFolder(name)) {
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
  if (!run.folder) {
    for (auto it = run.createdDirs.rbegin(); it != run.createdDirs.rend(); ++it) {
      std::error_code ignored;
      fs::remove(*it, ignored);  // only if empty
    }
    return;
  }
  const OutputFolder& folder = *run.folder;
  bool journalLeft =
      folder.kind(std::string(kServerFolder) + "/" + kJournalName) != EntryKind::missing;
  if (!run.scratchName.empty() && !journalLeft && !folder.removeTree(run.scratchName)) {
    result.warnings.push_back("could not remove the scratch folder " +
                              shown(folder.pathOf(run.scratchName)));
  }
  if (run.lockCreated && !journalLeft) {
    run.lock.removeAndRelease();
  } else {
    run.lock.release();
  }
  if (run.serverCreated) folder.removeFolder(kServerFolder);  // only if empty
  run.folder.reset();
  for (auto it = run.createdDirs.rbegin(); it != run.createdDirs.rend(); ++it) {
    std::error_code ignored;
    fs::remove(*it, ignored);  // only if empty
  }
}
