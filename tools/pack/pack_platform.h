#pragma once

// What brightwick-pack needs of the operating system beyond the core's
// platform layer: pack_platform_win32.cpp on Windows, pack_platform_posix.cpp
// elsewhere. CMake compiles exactly one of the two.

#include <cstdio>
#include <filesystem>
#include <string>

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
