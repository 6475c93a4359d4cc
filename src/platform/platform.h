#pragma once

// The few operating-system services the update logic needs. Windows provides
// them natively (platform_win32.cpp); platform_posix.cpp stands in for them
// elsewhere. CMake compiles exactly one of the two.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

// How the core addresses the progress dialog: the HWND on Windows, a DialogUi*
// (dialog_ui.h) elsewhere. A null handle means there is no dialog: every
// operation on it does nothing.
using DialogHandle = void*;

// Dialog operations. Each may be called from any thread at any time; once the
// dialog has ended they do nothing and return at once, so a worker never waits
// on a window that is gone.

// Puts `text` into control `id` (the status line is IDC_STATUS).
void setDlgItemText(DialogHandle dialog, int id, const std::string& text);
// Sets the range of progress bar `id` (PBM_SETRANGE).
void setProgressRange(DialogHandle dialog, int id, int low, int high);
// Sets the position of progress bar `id` (PBM_SETPOS).
void setProgressPos(DialogHandle dialog, int id, int pos);
// Ends the dialog with `result`; the shell's modal wait returns.
void endDialog(DialogHandle dialog, int result);

// Shows `text` with `caption` in a message box that has no owner window and
// returns once the user has confirmed it (or at once where nobody can).
void messageBox(const std::string& text, const std::string& caption);

// Starts `proc(nullptr)` on a detached thread with the default stack size.
// Returns false if the thread could not be started.
using ThreadProc = void (*)(void*);
bool startThread(ThreadProc proc);

// Gives up the processor for at least one millisecond.
void sleepOneMillisecond();

// Lets another thread that is ready run now, if there is one; returns at
// once otherwise.
void yieldProcessor();

// Opens `path` with the stdio `mode`, without denying other processes any
// access to the file. Null on failure.
std::FILE* openShared(const std::string& path, const char* mode);

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
