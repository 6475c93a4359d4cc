#pragma once

// Which file of the game folder the running program was started from,
// whatever it is called: the updater may be published under any name, and
// the manifest may spell it in another case or form than the folder does.
// Files are compared by what the file system knows them by (volume and file
// index on Windows, device and inode elsewhere), never by name.
// running_program_posix.cpp and running_program_win32.cpp implement it.

#include <cstdint>
#include <string>

struct FileIdentity {
  bool known = false;
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
};

// Whether both are known and the same file.
inline bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.volume == b.volume && a.index == b.index;
}

// The file this process was started from (GetModuleFileNameW;
// /proc/self/exe), as it was when asked: a later rename does not change it.
// Unknown where the system does not say.
FileIdentity runningProgramFile();

// The regular file `name` of the game folder, reached without following a
// link (see game_folder.h); unknown if it is anything else or missing.
FileIdentity gameFileIdentity(const std::string& name);
