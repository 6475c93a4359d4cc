#pragma once

// The output folder as brightwick-pack reaches into it. Anyone who can write
// the served folder can plant a symbolic link (or, on Windows, a junction)
// in it, and a path that passes through one leads anywhere on the studio's
// machine. So every name below the folder is entered one folder at a time
// without following a link (openat with O_NOFOLLOW on POSIX; on Windows
// every folder on the way is refused if it is a reparse point), and only
// regular files are opened, created or replaced. The folder itself is the
// studio's own path and is opened as given. output_folder_posix.cpp and
// output_folder_win32.cpp implement it; CMake compiles one of the two.
//
// Names are relative, "/" between folders, as the journal and the manifest
// write them; "" is the folder itself. A call that fails leaves errno set,
// ELOOP when the way went through a link: whyNot() turns it into words.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/file_ptr.h"
#include "pack_platform.h"

enum class EntryKind {
  missing,  // nothing there, or a folder on the way does not exist
  file,     // a regular file
  folder,   // a folder
  link,     // a symbolic link or junction at the name itself
  other,    // a FIFO, device or socket
  blocked,  // a folder on the way is a link, or not a folder at all
};

struct FolderEntry {
  std::string name;
  EntryKind kind = EntryKind::missing;
};

class OutputFolder {
 public:
  // Opens `root`, which must be a folder; throws std::runtime_error if not.
  explicit OutputFolder(const std::filesystem::path& root);
  ~OutputFolder();
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  const std::filesystem::path& root() const { return root_; }
  // `name` as a path, for messages and for the C runtime's own use of files
  // this run created and holds.
  std::filesystem::path pathOf(const std::string& name) const;

  EntryKind kind(const std::string& name) const;
  // A regular file for binary reading; null for anything else.
  FilePtr openRead(const std::string& name) const;
  // A new regular file for binary writing; null if anything is there.
  FilePtr create(const std::string& name) const;
  // A regular file for reading and writing, created if missing (the lock).
  FilePtr openOrCreate(const std::string& name) const;
  // A new folder; false if anything is there (errno EEXIST).
  bool makeFolder(const std::string& name) const;
  // Deletes a file, or a link itself; never a folder. True if nothing is
  // there afterwards.
  bool removeFile(const std::string& name) const;
  // Deletes an empty folder.
  bool removeFolder(const std::string& name) const;
  // Deletes a folder and everything in it, links themselves and never what
  // they point to; a link or file at `name` is not a folder and is refused.
  // True if nothing is there afterwards.
  bool removeTree(const std::string& name) const;
  // Moves the file `from` over `to` as replaceFile (platform.h) does: the
  // content is on the disk first, a read-only `to` is refused, and `to`
  // keeps its permissions. `to` must be a regular file or missing.
  bool replace(const std::string& from, const std::string& to) const;
  // A second name `name` for the regular file `existing`.
  bool hardLink(const std::string& existing, const std::string& name) const;
  // Puts a file's content, or a folder's entries, on the disk.
  bool sync(const std::string& name) const;
  // What tells files apart, for the thing at `name` itself.
  bool identity(const std::string& name, FileIdentity* identity) const;
  // The entries of the folder `name`; empty if it cannot be read.
  std::vector<FolderEntry> list(const std::string& name) const;

 private:
  std::filesystem::path root_;
  std::intptr_t handle_ = -1;  // POSIX: the folder's descriptor
};

// "a/b" and "c" as "a/b/c"; either may be empty.
std::string joinName(const std::string& folder, const std::string& name);
// The folder part of `name` ("" at the top).
std::string parentName(const std::string& name);

// Why a call on `name` just failed, in words, from errno.
std::string whyNot(const OutputFolder& folder, const std::string& name);

// The regular file `name` for reading; throws, saying why, if it cannot be
// opened.
FilePtr openServed(const OutputFolder& folder, const std::string& name);
// Creates the new file `name` for writing; throws if it cannot.
FilePtr createServed(const OutputFolder& folder, const std::string& name);
// The whole of `name`; throws if it cannot be read or is over `limit` bytes.
std::string readServed(const OutputFolder& folder, const std::string& name, std::uint64_t limit);
// Writes `text` as the new file `name`; throws if it cannot.
void writeServed(const OutputFolder& folder, const std::string& name, const std::string& text);
// Copies the regular file `from` to the new file `to`; throws if it cannot.
void copyServed(const OutputFolder& folder, const std::string& from, const std::string& to);
