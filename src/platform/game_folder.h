#pragma once

// Files of the game folder (the current folder), reached without ever
// leaving it: every folder on a name's way is entered without following a
// symbolic link or junction, and only regular files are read, created or
// replaced. A manifest, or a link a player or another program left in the
// folder, can thus never make the updater read a device, block on a FIFO, or
// write outside the game. game_folder_posix.cpp and game_folder_win32.cpp
// implement it; CMake compiles one of the two (and game_folder.cpp, what
// both share).
//
// Names are relative paths as the manifest gives them ("/" between folders;
// "\" too on Windows).

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/file_ptr.h"

enum class PathKind {
  missing,      // nothing there, or a folder on the way does not exist
  regular,      // a regular file
  folder,       // a folder
  special,      // a FIFO, device, socket, or a link at the name itself
  throughLink,  // a folder on the way is a symbolic link or junction
};

// What `name` is, without opening it and without following any link.
PathKind inspectPath(const std::string& name);

// Opens the regular file `name` for binary reading, never blocking: null if
// it is anything else (a link included) or cannot be opened.
FilePtr openRegularFile(const std::string& name);

// The whole of the small regular file `name` into `text`: false if it is
// missing, unreadable, anything but a regular file or over `most` bytes.
bool readSmallFile(const std::string& name, std::size_t most, std::string* text);

// Creates `name` for binary writing; fails if anything at all is there, so a
// run only ever writes (and later renames) files it made itself.
FilePtr createNewFile(const std::string& name);

// Opens `name` for appending, creating it if missing; null if it is anything
// but a regular file.
FilePtr openForAppending(const std::string& name);

// Deletes `name` unless it is a folder (which stays, whatever it holds).
// True if nothing is there afterwards.
bool removeFile(const std::string& name);

// replaceFile (platform.h) for a name inside the game folder: also fails
// when a folder on the way is a link, or `to` exists and is not a regular
// file.
bool replaceGameFile(const std::string& from, const std::string& to);

// Makes the folders on the way to `name` that are missing, one at a time,
// each inside the one before: never through a link or junction, never over
// a file. True if every folder on the way is there afterwards.
bool makeFolders(const std::string& name);

// A running program's file cannot be overwritten (Windows refuses, and
// Linux refuses writing it), but it can take another name while the process
// runs on from it; a new file can then take its name. See
// update/put_in_place.h.
enum class SetAside {
  refused,  // nothing changed
  linked,   // `aside` is a second name of the file; `name` still holds it
  moved,    // the file is under `aside` now; `name` is free
};
// Gives the regular file `name` the free name `aside` too: a hard link where
// either name of a running program can be removed later (POSIX), so `name`
// never goes missing. Elsewhere the file moves to `aside`: Windows keeps
// every name of a running program's file while it runs, so a second name
// could neither be removed nor free `name`; a file system without links has
// no second name to give. Refused, like replaceGameFile, for a file this
// user could not rewrite (read-only) and anything but a regular file.
SetAside setAsideGameFile(const std::string& name, const std::string& aside);

// Moves the regular file `from` to the free name `to`, both in the game
// folder.
bool renameGameFile(const std::string& from, const std::string& to);

// replaceGameFile for the file of a running program that setAsideGameFile
// has set aside: `to` may still hold the running file (POSIX renames over
// it) or be free. `from` takes the permissions of `like`, the old file, so
// the new program can be started as the old one was.
bool replaceProgramFile(const std::string& from, const std::string& to, const std::string& like);

// Bytes a file in the game folder may still take, or -1 if unknown.
std::int64_t freeDiskSpace();

enum class FolderLock {
  held,         // this process holds the lock until it exits
  busy,         // another run holds it
  unavailable,  // the lock file cannot be made (a read-only folder, a link)
};
// Takes the exclusive lock on kLockFile for the rest of the process's life.
// Children (the game) do not inherit it.
FolderLock lockGameFolder();
