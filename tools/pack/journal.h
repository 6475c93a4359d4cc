#pragma once

// The journal of a publish's commit: which files it moves from its scratch
// folder into the output folder, in which order, and what it deletes after.
// It is on the disk before the first file moves and gone after the last step,
// so a run killed in between (SIGKILL, a power cut) leaves the next run all it
// needs to put the folder back in order (commit.h). Stored on servers: the
// text format below stays readable by later versions, and docs/formats.md
// describes it.
//
//   brightwick-journal 1
//   scratch .brightwick-pack-3f9a0c
//   folder maps/new
//   put 0 - 1234 89abcdef maps/new/castle.map
//   put 1 old-1 5678 01234567 maps/town.map
//   put records old-2 310 deadbeef update.d/records
//   put update.dat old-3 120 cafebabe update.dat
//   delete maps/gone.map
//   end
//
// "put SOURCE BACKUP SIZE CRC TARGET": SOURCE and BACKUP are names in the
// scratch folder (BACKUP "-": TARGET did not exist), SIZE and CRC (CRC-32, 8
// hex digits) describe the new content, TARGET (the rest of the line) is the
// path below the output folder, "/" between folders. The last put is the
// commit point: before it moved, the run is undone; after, it is completed.

#include <cstdint>
#include <string>
#include <vector>

// The publisher's files in the server folder (kServerFolder, "update.d").
inline constexpr char kLockName[] = "lock";
inline constexpr char kJournalName[] = "journal";
// The journal is written here and renamed into place, so it is whole.
inline constexpr char kJournalScratchName[] = "journal.new";
inline constexpr char kRecordsName[] = "records";

// Scratch folders in the output folder start with this; a random tail tells
// runs apart.
inline constexpr char kScratchPrefix[] = ".brightwick-pack-";

inline constexpr int kJournalFormat = 1;

struct JournalPut {
  std::string source;  // in the scratch folder
  std::string backup;  // in the scratch folder; empty: the target was absent
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  std::string target;  // below the output folder, "/" between folders
};

struct Journal {
  std::string scratch;               // folder name in the output folder
  std::vector<std::string> folders;  // made by the commit, parents first
  std::vector<JournalPut> puts;      // in order; the last is the commit point
  std::vector<std::string> deletes;  // after the commit point
};

std::string formatJournal(const Journal& journal);

// False, with `error` saying why, for a journal this version cannot act on:
// another format, a step it does not know, a path that leaves the folder,
// or a torn text.
bool parseJournal(const std::string& text, Journal* journal, std::string* error);

// Whether `path` stays inside the folder it is relative to: not empty, not
// absolute, no "." or ".." part, no "\" or ":". Journals and records are
// read from the served folder, where anyone with write access could have
// changed them.
bool isContainedPath(const std::string& path);
