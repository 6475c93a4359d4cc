#include "commit.h"

#include <set>
#include <stdexcept>

#include "base/names.h"
#include "pack_support.h"
#include "signal_hold.h"

namespace {

// A journal lists every file of a release twice at most; this is far more
// than any the updater's manifest bound allows.
constexpr std::uint64_t kJournalBound = std::uint64_t{1} << 30;

std::string serverName(const char* name) {
  return std::string(kServerFolder) + "/" + name;
}

bool present(const OutputFolder& out, const std::string& name) {
  return out.kind(name) != EntryKind::missing;
}

[[noreturn]] void failOn(const OutputFolder& out, const std::string& name, const char* action) {
  throw std::runtime_error(std::string("cannot ") + action + " " + shown(out.pathOf(name)) + ": " +
                           whyNot(out, name));
}

// What stands at `name` that a step may not touch, in words; empty if it
// may (nothing there, or what `wanted` says).
std::string unfit(const OutputFolder& out, const std::string& name, EntryKind wanted) {
  switch (out.kind(name)) {
    case EntryKind::missing:
      return "";
    case EntryKind::blocked:
      return "passes through a symbolic link or junction";
    case EntryKind::link:
      return "is a symbolic link or junction";
    case EntryKind::file:
      return wanted == EntryKind::file ? "" : "is a file";
    case EntryKind::folder:
      return wanted == EntryKind::folder ? "" : "is a folder";
    case EntryKind::other:
      break;
  }
  return "is not a plain file or folder";
}

// Throws unless `name` is missing or what `wanted` says.
void requireFit(const OutputFolder& out, const std::string& name, EntryKind wanted) {
  std::string problem = unfit(out, name, wanted);
  if (!problem.empty()) {
    throw std::runtime_error(shown(out.pathOf(name)) + " " + problem +
                             ", and brightwick-pack follows no link and replaces no folder in "
                             "the output folder");
  }
}

void syncOrThrow(const OutputFolder& out, const std::string& name) {
  if (!out.sync(name)) failOn(out, name, "put on the disk");
}

void replaceOrThrow(const OutputFolder& out, const std::string& from, const std::string& to) {
  if (!out.replace(from, to)) failOn(out, to, "replace");
}

// A second name for the file at `target`, so that it can be put back: a hard
// link, or where the file system has none, a whole copy.
void keepBackup(const OutputFolder& out, const std::string& target, const std::string& backup) {
  if (out.hardLink(target, backup)) return;
  // Copied under another name first: a copy cut short must never count as
  // the old file.
  std::string partial = backup + ".part";
  copyServed(out, target, partial);
  syncOrThrow(out, partial);
  replaceOrThrow(out, partial, backup);
}

// Makes the folders of `name` that are missing, parents first.
void makeFolders(const OutputFolder& out, const std::string& name) {
  if (name.empty()) return;
  for (std::size_t at = 0;;) {
    std::size_t slash = name.find('/', at);
    std::string folder = name.substr(0, slash);
    requireFit(out, folder, EntryKind::folder);
    if (out.kind(folder) == EntryKind::missing && !out.makeFolder(folder)) {
      failOn(out, folder, "create");
    }
    if (slash == std::string::npos) break;
    at = slash + 1;
  }
}

// Removes the folders `name` leaves empty, innermost first.
void removeEmptiedFolders(const OutputFolder& out, const std::string& name) {
  for (std::string dir = parentName(name); !dir.empty(); dir = parentName(dir)) {
    if (!out.removeFolder(dir)) break;  // not empty
  }
}

void writeJournal(const OutputFolder& out, const Journal& journal) {
  std::string written = serverName(kJournalScratchName);
  out.removeFile(written);
  writeServed(out, written, formatJournal(journal));
  replaceOrThrow(out, written, serverName(kJournalName));
  syncOrThrow(out, kServerFolder);
}

// The journal goes before the scratch folder: a journal without its scratch
// folder would read as a commit that had passed its last move.
void finish(const OutputFolder& out, const Journal& journal, std::vector<std::string>& warnings) {
  if (!out.removeFile(serverName(kJournalName))) failOn(out, serverName(kJournalName), "delete");
  out.sync(kServerFolder);
  if (!out.removeTree(journal.scratch)) {
    warnings.push_back("could not remove the scratch folder " + shown(out.pathOf(journal.scratch)));
  }
}

struct Counts {
  std::size_t moved = 0;
  std::size_t removed = 0;
};

// Undoes the puts that happened, last first, and removes the folders the
// commit made. Safe to repeat: a put that never happened is left alone.
Counts rollBack(const OutputFolder& out, const Journal& journal) {
  Counts counts;
  for (auto put = journal.puts.rbegin(); put != journal.puts.rend(); ++put) {
    if (!put->backup.empty()) {
      // Backups were all made before the first move, so a missing one means
      // its target never moved.
      std::string backup = joinName(journal.scratch, put->backup);
      FileIdentity kept, current;
      if (!present(out, backup)) continue;
      if (out.identity(backup, &kept) && out.identity(put->target, &current) && kept == current) {
        continue;  // never replaced
      }
      replaceOrThrow(out, backup, put->target);
      ++counts.moved;
    } else if (present(out, put->target)) {
      if (!out.removeFile(put->target)) failOn(out, put->target, "remove");
      ++counts.removed;
    }
  }
  for (auto folder = journal.folders.rbegin(); folder != journal.folders.rend(); ++folder) {
    out.removeFolder(*folder);  // only if empty
  }
  out.sync("");
  return counts;
}

// Size and CRC-32 of the served file `name`.
void measureServed(const OutputFolder& out, const std::string& name, std::uint64_t* size,
                   std::uint32_t* crc) {
  FilePtr in = openServed(out, name);
  measureStream(in.get(), out.pathOf(name), size, crc);
}

// Whether the commit point passed: the last put's file left the scratch
// folder and its target has the new content.
bool passedCommitPoint(const OutputFolder& out, const Journal& journal) {
  if (journal.puts.empty()) return false;
  const JournalPut& last = journal.puts.back();
  if (present(out, joinName(journal.scratch, last.source)) ||
      out.kind(last.target) != EntryKind::file) {
    return false;
  }
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  measureServed(out, last.target, &size, &crc);
  return size == last.size && crc == last.crc;
}

// Does the puts that had not happened and the deletes.
Counts complete(const OutputFolder& out, const Journal& journal) {
  Counts counts;
  for (const JournalPut& put : journal.puts) {
    std::string source = joinName(journal.scratch, put.source);
    if (!present(out, source)) continue;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    measureServed(out, source, &size, &crc);
    if (size != put.size || crc != put.crc) {
      throw std::runtime_error("cannot complete the interrupted publish: its new " +
                               quotedName(put.target) + " in " +
                               shown(out.pathOf(journal.scratch)) + " is damaged");
    }
    makeFolders(out, parentName(put.target));
    replaceOrThrow(out, source, put.target);
    syncOrThrow(out, parentName(put.target));
    ++counts.moved;
  }
  for (const std::string& gone : journal.deletes) {
    if (out.kind(gone) == EntryKind::file && out.removeFile(gone)) {
      ++counts.removed;
      removeEmptiedFolders(out, gone);
    }
  }
  return counts;
}

// Refuses, before anything is touched, a journal that would have the repair
// work through a link: someone who can write the served folder could
// otherwise plant one and have the publisher delete, move or write files
// anywhere the studio can.
void checkJournalWays(const OutputFolder& out, const Journal& journal) {
  std::vector<std::pair<std::string, EntryKind>> names{{journal.scratch, EntryKind::folder}};
  for (const std::string& folder : journal.folders) names.emplace_back(folder, EntryKind::folder);
  for (const JournalPut& put : journal.puts) {
    names.emplace_back(put.target, EntryKind::file);
    names.emplace_back(joinName(journal.scratch, put.source), EntryKind::file);
    if (!put.backup.empty()) {
      names.emplace_back(joinName(journal.scratch, put.backup), EntryKind::file);
    }
  }
  for (const std::string& gone : journal.deletes) names.emplace_back(gone, EntryKind::file);
  for (const auto& [name, wanted] : names) {
    std::string problem = unfit(out, name, wanted);
    if (!problem.empty()) {
      throw std::runtime_error(shown(out.pathOf(serverName(kJournalName))) +
                               " is left from an interrupted publish, but " +
                               shown(out.pathOf(name)) + " " + problem +
                               ", which a repair never follows; nothing was repaired");
    }
  }
}

std::string files(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " file" : " files");
}

}  // namespace

void commitJournal(const OutputFolder& out, Journal& journal, CommitOutcome& outcome) {
  journal.folders.clear();
  std::set<std::string> planned;
  for (std::size_t i = 0; i < journal.puts.size(); ++i) {
    JournalPut& put = journal.puts[i];
    requireFit(out, put.target, EntryKind::file);
    put.backup =
        out.kind(put.target) == EntryKind::file ? "old-" + std::to_string(i) : std::string();
    std::vector<std::string> missing;
    for (std::string dir = parentName(put.target); !dir.empty(); dir = parentName(dir)) {
      if (planned.count(dir) != 0) break;
      requireFit(out, dir, EntryKind::folder);
      if (out.kind(dir) == EntryKind::folder) break;
      missing.push_back(dir);
    }
    for (auto dir = missing.rbegin(); dir != missing.rend(); ++dir) {
      journal.folders.push_back(*dir);
      planned.insert(*dir);
    }
  }

  SignalHold hold;
  writeJournal(out, journal);
  try {
    std::set<std::string> touched;  // folders whose entries changed
    for (const std::string& folder : journal.folders) {
      if (!out.makeFolder(folder)) failOn(out, folder, "create");
      touched.insert(parentName(folder));
    }
    for (const JournalPut& put : journal.puts) {
      if (!put.backup.empty()) keepBackup(out, put.target, joinName(journal.scratch, put.backup));
    }
    syncOrThrow(out, journal.scratch);
    for (std::size_t i = 0; i < journal.puts.size(); ++i) {
      const JournalPut& put = journal.puts[i];
      // Everything before the commit point is on the disk before it, so a
      // power cut cannot leave the new manifest with old packed files.
      if (i + 1 == journal.puts.size()) {
        for (const std::string& folder : touched) syncOrThrow(out, folder);
      }
      replaceOrThrow(out, joinName(journal.scratch, put.source), put.target);
      touched.insert(parentName(put.target));
    }
    if (!journal.puts.empty()) syncOrThrow(out, parentName(journal.puts.back().target));
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
    if (!out.removeFile(gone)) {
      outcome.warnings.push_back("could not delete the unlisted " + shown(out.pathOf(gone)) + ": " +
                                 whyNot(out, gone));
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

void recoverOutput(const OutputFolder& out, std::vector<std::string>& repairs) {
  const std::string journalName = serverName(kJournalName);
  EntryKind journalKind = out.kind(journalName);
  if (journalKind != EntryKind::missing) {
    Journal journal;
    std::string error;
    if (journalKind != EntryKind::file) {
      error = unfit(out, journalName, EntryKind::file);
    } else if (!parseJournal(readServed(out, journalName, kJournalBound), &journal, &error)) {
      error = "it cannot be acted on: " + error;
    }
    if (!error.empty()) {
      throw std::runtime_error(shown(out.pathOf(journalName)) +
                               " is left from an interrupted publish, but " + error +
                               "; nothing was repaired");
    }
    checkJournalWays(out, journal);
    // A journal that never reached its place: its run had moved nothing.
    out.removeFile(serverName(kJournalScratchName));
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
  } else {
    out.removeFile(serverName(kJournalScratchName));
  }

  // With the lock held no other run is using a scratch folder: these are
  // from runs that died. A link by that name is no folder of ours, and what
  // it leads to is left alone.
  for (const FolderEntry& entry : out.list("")) {
    if (entry.name.compare(0, sizeof kScratchPrefix - 1, kScratchPrefix) != 0) continue;
    if (entry.kind != EntryKind::folder) continue;
    out.removeTree(entry.name);
    repairs.push_back("removed " + shown(out.pathOf(entry.name)) +
                      ", the scratch folder of an interrupted run");
  }
}
