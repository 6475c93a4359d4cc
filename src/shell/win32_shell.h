#pragma once

// The Windows shell: the entry point and the progress dialog it runs.

#include <windows.h>

// The module instance handle, stored by WinMain before the dialog is created.
extern HINSTANCE gInstance;

// The progress dialog's procedure (template IDD_PROGRESS). Registers the
// progress bar class on every call; on WM_INITDIALOG it starts the update
// worker for the UpdateRun its parameter points to, with this dialog; IDOK or IDCANCEL (Enter, Esc,
// the close box) end the dialog with 0. Never lets an exception through: it logs "Error updating"
// and ends the dialog instead.
INT_PTR CALLBACK progressDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
