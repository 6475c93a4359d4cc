#include <windows.h>
// After windows.h, which it builds on.
#include <commctrl.h>

#include "log/dated_log.h"
#include "platform/dialog.h"
#include "shell/win32_shell.h"
#include "update/update_run.h"

namespace {

// Size of INITCOMMONCONTROLSEX: two DWORDs on every Windows.
static_assert(sizeof(INITCOMMONCONTROLSEX) == 8, "INITCOMMONCONTROLSEX is dwSize and dwICC");

void registerProgressBar() {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
}

INT_PTR handleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      // Without its worker the dialog would stay open until the player
      // closes it; start the game instead.
      if (!startUpdateWorker(reinterpret_cast<UpdateRun*>(lParam), hwnd)) endDialog(hwnd, 0);
      return TRUE;
    case WM_COMMAND:
      // Compared whole: a notification code in the high word is not a
      // command to close.
      if (wParam == IDOK || wParam == IDCANCEL) {
        endDialog(hwnd, 0);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

INT_PTR CALLBACK progressDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  // An exception cannot unwind through the window manager's frames to
  // WinMain's guard, so the guard for the dialog's own code is here.
  try {
    registerProgressBar();
    return handleMessage(hwnd, message, wParam, lParam);
  } catch (...) {
    writeLog("Error updating");
    endDialog(hwnd, 0);
    return FALSE;
  }
}
