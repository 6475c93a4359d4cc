#pragma once

// The files, time and process services both programs need. Windows provides
// them natively (platform_win32.cpp); platform_posix.cpp stands in for them
// elsewhere. CMake compiles exactly one of the two. The dialog and the
// threads, which only the updater needs, are in dialog.h and thread.h.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "base/file_ptr.h"

// Opens `path` with the stdio `mode`, without denying other processes any
// access to the file. Null on failure.
FilePtr openShared(const std::string& path, const char* mode);

// Length in bytes of the open file, or -1 if it cannot be determined.
std::int64_t fileLength(std::FILE* file);

// Moves the position of `file` to `offset` bytes from its start, also past
// 2 GiB in a 32-bit process. False on failure (a negative offset, a pipe).
bool seek(std::FILE* file, std::int64_t offset);

// Moves `from` over `to` so that `to` is, at every moment, either its old or
// its new content, also after a power cut (the new content is on the disk
// before the move). Fails, leaving both files as they were, when `to` exists
// but could not have been rewritten by this user (read-only, held open
// without sharing by another process) or its folder does not exist.
bool replaceFile(const std::string& from, const std::string& to);

// Local time of `when`; safe to call from several threads at once.
bool localTimeOf(std::time_t when, std::tm* out);

// Ends the process at once with `code`: no static destructors run, so worker
// threads that are still running never see the globals destroyed under them.
[[noreturn]] void quickExit(int code);
