#include <windows.h>
// After windows.h, which the common-controls header builds on.
#include <commctrl.h>

#include <atomic>

#include "platform/dialog.h"

namespace {

// Set, once and for good, by the first endDialog. The dialog operations check
// it before every send: a worker must never block in SendMessage on a dialog
// that is ending, and Windows would otherwise keep it waiting until the main
// thread next serves messages.
std::atomic<bool> dialogEnded{false};

HWND windowOf(DialogHandle dialog) {
  return dialog && !dialogEnded ? static_cast<HWND>(dialog) : nullptr;
}

}  // namespace

void setDlgItemText(DialogHandle dialog, int id, const std::string& text) {
  if (HWND window = windowOf(dialog)) SetDlgItemTextA(window, id, text.c_str());
}

void setProgressRange(DialogHandle dialog, int id, int low, int high) {
  if (HWND window = windowOf(dialog)) {
    SendDlgItemMessageA(window, id, PBM_SETRANGE, 0, MAKELPARAM(low, high));
  }
}

void setProgressPos(DialogHandle dialog, int id, int pos) {
  if (HWND window = windowOf(dialog)) {
    SendDlgItemMessageA(window, id, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
  }
}

void endDialog(DialogHandle dialog, int result) {
  // Only the first caller ends the dialog: the user's close and the end of the
  // run may come at the same moment from two threads.
  if (!dialog || dialogEnded.exchange(true)) return;
  EndDialog(static_cast<HWND>(dialog), result);
}

void messageBox(DialogHandle, const std::string& text, const std::string& caption) {
  // No owner: the box must outlive the dialog, and a worker's box must not
  // make the main thread's dialog wait for it. Brought to the front because
  // the game may already be running.
  MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_SETFOREGROUND);
}
