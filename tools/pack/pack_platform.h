#pragma once

// What brightwick-pack needs of the operating system beyond the core's
// platform layer: pack_platform_win32.cpp on Windows, pack_platform_posix.cpp
// elsewhere. CMake compiles exactly one of the two.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "base/file_ptr.h"

// Whether `stream` is an interactive terminal (progress is shown only there).
bool isTerminal(std::FILE* stream);

// `path` as the 8-bit text the C runtime opens, which is how the core's
// engine and file functions take paths. False if it cannot be written so
// (on Windows: a character outside the system's ANSI code page).
bool narrowPath(const std::filesystem::path& path, std::string* narrow);

// `relative` as it stands in update.dat: the 8-bit text the updater uses as
// both its local path and its URL suffix, "/" between folders. False if it
// cannot be written so.
bool manifestNameOf(const std::filesystem::path& relative, std::string* name);

// The path a manifest `name` stands for, relative to the folder it is in:
// the inverse of manifestNameOf.
std::filesystem::path manifestNamePath(const std::string& name);

// A key under which the names the file system takes for one file are equal
// ("A.pak" and "a.pak" on Windows), so that deleting one never hits another.
std::string fileSystemKey(const std::string& name);

// Command-line argument `index` as a path. On Windows the narrow argv has
// already lost what the ANSI code page cannot hold, so the wide command line
// is read again.
std::filesystem::path pathArgument(int index, const char* narrow);

// What tells two names of one file or folder apart from two files: device
// and inode, or volume serial and file index on Windows. Bind mounts and
// links give one folder several paths; this sees through them.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator<(const FileIdentity& other) const {
    return volume != other.volume ? volume < other.volume : index < other.index;
  }
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index == other.index;
  }
};
// The identity of what `path` names, links followed; false if it cannot be
// had (it does not exist, for one).
bool fileIdentity(const std::filesystem::path& path, FileIdentity* identity);

// Puts what the system still holds in memory for the file or folder `path`
// on the disk: a file's content, a folder's entries (the renames into it).
// Where the system writes folders through already (Windows), a folder needs
// nothing and succeeds.
bool syncToDisk(const std::filesystem::path& path);

// The system's null device, for writing output nobody needs.
FilePtr openDiscard();

// Calls `handler` (from a signal handler: it may only set a flag) when the
// user presses Ctrl-C, the terminal goes away or the process is asked to
// end.
void onInterruptRequest(void (*handler)(int));
