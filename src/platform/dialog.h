#pragma once

// The progress dialog's operations, the only way the update run and the
// download worker reach the dialog. Windows provides them natively
// (dialog_win32.cpp); dialog_posix.cpp hands them to whatever stands in for
// the dialog there (dialog_ui.h). CMake compiles exactly one of the two.

#include <string>

// How the core addresses the progress dialog: the HWND on Windows, a DialogUi*
// (dialog_ui.h) elsewhere. A null handle means there is no dialog: every
// operation on it does nothing.
using DialogHandle = void*;

// Each may be called from any thread at any time; once the dialog has ended
// they do nothing and return at once, so a worker never waits on a window
// that is gone.

// Puts `text` into control `id` (the status line is IDC_STATUS).
void setDlgItemText(DialogHandle dialog, int id, const std::string& text);
// Sets the range of progress bar `id` (PBM_SETRANGE).
void setProgressRange(DialogHandle dialog, int id, int low, int high);
// Sets the position of progress bar `id` (PBM_SETPOS).
void setProgressPos(DialogHandle dialog, int id, int pos);
// Ends the dialog with `result`; the shell's modal wait returns.
void endDialog(DialogHandle dialog, int result);

// Shows `text` with `caption` in a message box and returns once the user has
// confirmed it (or at once where nobody can). On Windows the box has no
// owner window, whatever `dialog` is: it must outlive the dialog. Elsewhere
// `dialog` shows it, or standard error where there is none.
void messageBox(DialogHandle dialog, const std::string& text, const std::string& caption);
