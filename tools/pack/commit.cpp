#include "commit.h"

#include <set>
#include <stdexcept>
#include <system_error>

#include "base/names.h"
#include "pack_platform.h"
#include "pack_support.h"
#include "platform/platform.h"
#include "signal_hold.h"

namespace fs = std::filesystem;

namespace {

// A journal lists every file of a release twice at most; this is far more
// than any the updater's manifest bound allows.
constexpr std::uint64_t kJournalBound = std::uint64_t{1} << 30;

fs::path pathIn(const fs::path& folder, const std::string& relative) {
  return folder / manifestNamePath(relative);
}

std::string parentOf(const std::string& relative) {
  std::size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

bool present(const fs::path& path) {
  return fs::exists(statusOf(path));
}

void syncOrThrow(const fs::path& path) {
  if (!syncToDisk(path)) {
    throw std::runtime_error("cannot put " + shown(path) + " on the disk: " + errnoText());
  }
}

void replaceOrThrow(const fs::path& from, const fs::path& to) {
  if (!replaceFile(narrowOrThrow(from), narrowOrThrow(to))) {
    throw std::runtime_error("cannot replace " + shown(to) + ": " + errnoText());
  }
}

// A second name for the file at `target`, so that it can be put back: a hard
// link, or where the file system has none, a whole copy.
void keepBackup(const fs::path& target, const fs::path& backup) {
  std::error_code error;
  fs::create_hard_link(target, backup, error);
  if (!error) return;
  // Copied under another name first: a copy cut short must never count as
  // the old file.
  fs::path partial = backup;
  partial += ".part";
  fs::copy_file(target, partial, error);
  if (error || !syncToDisk(partial)) {
    throw std::runtime_error("cannot keep a copy of " + shown(target) +
                             " to put back: " + (error ? error.message() : errnoText()));
  }
  fs::rename(partial, backup);
}

// Removes the folders `relative` leaves empty below `out`, innermost first.
void removeEmptiedFolders(const fs::path& out, const std::string& relative) {
  for (std::string dir = parentOf(relative); !dir.empty(); dir = parentOf(dir)) {
    std::error_code error;
    if (!fs::is_empty(pathIn(out, dir), error) || error || !fs::remove(pathIn(out, dir), error)) {
      break;
    }
  }
}

void writeJournal(const fs::path& server, const Journal& journal) {
  fs::path written = server / kJournalScratchName;
  writeWholeFile(written, formatJournal(journal));
  replaceOrThrow(written, server / kJournalName);
  syncOrThrow(server);
}

// The journal goes before the scratch folder: a journal without its scratch
// folder would read as a commit that had passed its last move.
void finish(const fs::path& out, const Journal& journal, std::vector<std::string>& warnings) {
  fs::path server = out / kServerFolder;
  std::error_code error;
  fs::remove(server / kJournalName, error);
  if (error) {
    throw std::runtime_error("cannot delete " + shown(server / kJournalName) + ": " +
                             error.message());
  }
  syncToDisk(server);
  fs::remove_all(out / journal.scratch, error);
  if (error)
    warnings.push_back("could not remove the scratch folder " + shown(out / journal.scratch));
}

struct Counts {
  std::size_t moved = 0;
  std::size_t removed = 0;
};

// Undoes the puts that happened, last first, and removes the folders the
// commit made. Safe to repeat: a put that never happened is left alone.
Counts rollBack(const fs::path& out, const Journal& journal) {
  Counts counts;
  fs::path scratch = out / journal.scratch;
  for (auto put = journal.puts.rbegin(); put != journal.puts.rend(); ++put) {
    fs::path target = pathIn(out, put->target);
    if (!put->backup.empty()) {
      // Backups were all made before the first move, so a missing one means
      // its target never moved.
      fs::path backup = scratch / put->backup;
      FileIdentity kept, current;
      if (!present(backup)) continue;
      if (fileIdentity(backup, &kept) && fileIdentity(target, &current) && kept == current) {
        continue;  // never replaced
      }
      replaceOrThrow(backup, target);
      ++counts.moved;
    } else if (present(target)) {
      std::error_code error;
      if (!fs::remove(target, error)) {
        throw std::runtime_error("cannot remove " + shown(target) + ": " + error.message());
      }
      ++counts.removed;
    }
  }
  for (auto folder = journal.folders.rbegin(); folder != journal.folders.rend(); ++folder) {
    std::error_code ignored;
    fs::remove(pathIn(out, *folder), ignored);  // only if empty
  }
  syncToDisk(out);
  return counts;
}

// Whether the commit point passed: the last put's file left the scratch
// folder and its target has the new content.
bool passedCommitPoint(const fs::path& out, const Journal& journal) {
  if (journal.puts.empty()) return false;
  const JournalPut& last = journal.puts.back();
  fs::path target = pathIn(out, last.target);
  if (present(out / journal.scratch / last.source) || !fs::is_regular_file(statusOf(target))) {
    return false;
  }
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  measureFile(target, &size, &crc);
  return size == last.size && crc == last.crc;
}

// Does the puts that had not happened and the deletes.
Counts complete(const fs::path& out, const Journal& journal) {
  Counts counts;
  fs::path scratch = out / journal.scratch;
  for (const JournalPut& put : journal.puts) {
    fs::path source = scratch / put.source;
    if (!present(source)) continue;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    measureFile(source, &size, &crc);
    if (size != put.size || crc != put.crc) {
      throw std::runtime_error("cannot complete the interrupted publish: its new " +
                               quotedName(put.target) + " in " + shown(scratch) + " is damaged");
    }
    fs::path target = pathIn(out, put.target);
    fs::create_directories(target.parent_path());
    replaceOrThrow(source, target);
    syncOrThrow(target.parent_path());
    ++counts.moved;
  }
  for (const std::string& gone : journal.deletes) {
    std::error_code error;
    if (fs::is_regular_file(statusOf(pathIn(out, gone))) && fs::remove(pathIn(out, gone), error)) {
      ++counts.removed;
      removeEmptiedFolders(out, gone);
    }
  }
  return counts;
}

std::string files(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " file" : " files");
}

}  // namespace

void commitJournal(const fs::path& out, Journal& journal, CommitOutcome& outcome) {
  const fs::path scratch = out / journal.scratch;
  journal.folders.clear();
  std::set<std::string> planned;
  for (std::size_t i = 0; i < journal.puts.size(); ++i) {
    JournalPut& put = journal.puts[i];
    put.backup = present(pathIn(out, put.target)) ? "old-" + std::to_string(i) : std::string();
    std::vector<std::string> missing;
    for (std::string dir = parentOf(put.target); !dir.empty(); dir = parentOf(dir)) {
      if (planned.count(dir) != 0 || present(pathIn(out, dir))) break;
      missing.push_back(dir);
    }
    for (auto dir = missing.rbegin(); dir != missing.rend(); ++dir) {
      journal.folders.push_back(*dir);
      planned.insert(*dir);
    }
  }

  SignalHold hold;
  writeJournal(out / kServerFolder, journal);
  try {
    std::set<fs::path> touched;  // folders whose entries changed
    for (const std::string& folder : journal.folders) {
      fs::create_directory(pathIn(out, folder));
      touched.insert(pathIn(out, folder).parent_path());
    }
    for (const JournalPut& put : journal.puts) {
      if (!put.backup.empty()) keepBackup(pathIn(out, put.target), scratch / put.backup);
    }
    syncOrThrow(scratch);
    for (std::size_t i = 0; i < journal.puts.size(); ++i) {
      fs::path target = pathIn(out, journal.puts[i].target);
      // Everything before the commit point is on the disk before it, so a
      // power cut cannot leave the new manifest with old packed files.
      if (i + 1 == journal.puts.size()) {
        for (const fs::path& folder : touched) syncOrThrow(folder);
      }
      replaceOrThrow(scratch / journal.puts[i].source, target);
      touched.insert(target.parent_path());
    }
    if (!journal.puts.empty()) syncOrThrow(pathIn(out, journal.puts.back().target).parent_path());
  } catch (const std::exception& failure) {
    try {
      rollBack(out, journal);
      finish(out, journal, outcome.warnings);
    } catch (const std::exception& undo) {
      throw std::runtime_error(std::string(failure.what()) + "; undoing it failed too (" +
                               undo.what() + "); the next publish or verify repairs it");
    }
    throw;
  }

  for (const std::string& gone : journal.deletes) {
    std::error_code error;
    if (!fs::remove(pathIn(out, gone), error)) {
      outcome.warnings.push_back("could not delete the unlisted " + shown(pathIn(out, gone)));
      continue;
    }
    outcome.deleted.push_back(gone);
    removeEmptiedFolders(out, gone);
  }
  try {
    finish(out, journal, outcome.warnings);
  } catch (const std::exception& failure) {
    // Past the commit point: the next run completes it again, which is
    // harmless.
    outcome.warnings.push_back(std::string(failure.what()) +
                               "; the next publish or verify finishes the clean-up");
  }
}

void recoverOutput(const fs::path& out, std::vector<std::string>& repairs) {
  const fs::path server = out / kServerFolder;
  std::error_code ignored;
  // A journal that never reached its place: its run had moved nothing.
  fs::remove(server / kJournalScratchName, ignored);

  const fs::path journalPath = server / kJournalName;
  if (present(journalPath)) {
    Journal journal;
    std::string error;
    if (!parseJournal(readWholeFile(journalPath, kJournalBound), &journal, &error)) {
      throw std::runtime_error(shown(journalPath) + " is left from an interrupted publish, but " +
                               error + "; nothing was repaired");
    }
    SignalHold hold;
    std::vector<std::string> warnings;
    if (passedCommitPoint(out, journal)) {
      Counts counts = complete(out, journal);
      repairs.push_back("completed an interrupted publish: " + files(counts.moved) +
                        " moved into place, " + files(counts.removed) +
                        " no longer listed deleted");
    } else {
      Counts counts = rollBack(out, journal);
      repairs.push_back("rolled back an interrupted publish: " + files(counts.moved) +
                        " put back, " + files(counts.removed) + " it had added removed");
    }
    finish(out, journal, warnings);
    for (const std::string& warning : warnings) repairs.push_back(warning);
  }

  // With the lock held no other run is using a scratch folder: these are
  // from runs that died.
  std::vector<fs::path> leftovers;
  std::error_code error;
  for (fs::directory_iterator it(out, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().u8string();
    if (name.compare(0, sizeof kScratchPrefix - 1, kScratchPrefix) == 0 &&
        fs::is_directory(statusOf(it->path()))) {
      leftovers.push_back(it->path());
    }
  }
  for (const fs::path& leftover : leftovers) {
    fs::remove_all(leftover, ignored);
    repairs.push_back("removed " + shown(leftover) + ", the scratch folder of an interrupted run");
  }
}
