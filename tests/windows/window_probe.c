/* Reads a top-level window of another process, as a player would see it.
 *
 *   window_probe.exe TITLE TIMEOUT_MS [--until-text TEXT] [--command WPARAM] [--dismiss]
 *
 * Waits until a window titled TITLE exists (and, with --until-text, one of its
 * controls shows TEXT), then prints one line per control:
 *   control CLASS ID TEXT
 * and, for a progress bar, also
 *   progress ID POS LOW HIGH
 * With --command it then sends the window WM_COMMAND with WPARAM (in C
 * notation, e.g. 0x10002) and prints whether the window is still visible
 * once the window has handled it:
 *   visible 1|0
 * With --dismiss it then presses the window's OK (a message box's only
 * button) and waits until the window is gone. Exit code 0 if all of that
 * happened before the time-out, 1 if not. */
#include <windows.h>
/* After windows.h, which it builds on. */
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const DWORD kSendTimeoutMs = 5000;

static const char* untilText = NULL;
static BOOL sawText = FALSE;
static BOOL printing = FALSE;

/* WM_GETTEXT is marshalled between processes; a time-out keeps a hung
 * window from hanging the probe. */
static void textOf(HWND window, char* text, int size) {
  DWORD_PTR copied = 0;
  text[0] = '\0';
  if (!SendMessageTimeoutA(window, WM_GETTEXT, (WPARAM)size, (LPARAM)text, SMTO_ABORTIFHUNG,
                           kSendTimeoutMs, &copied)) {
    text[0] = '\0';
  }
  text[size - 1] = '\0';
}

static BOOL CALLBACK visitControl(HWND control, LPARAM unused) {
  (void)unused;
  char className[256];
  char text[4096];
  if (!GetClassNameA(control, className, sizeof className)) className[0] = '\0';
  textOf(control, text, sizeof text);
  int id = GetDlgCtrlID(control);
  if (untilText && strcmp(text, untilText) == 0) sawText = TRUE;
  if (!printing) return TRUE;
  printf("control %s %d %s\n", className, id, text);
  if (lstrcmpiA(className, PROGRESS_CLASSA) == 0) {
    DWORD_PTR pos = 0, low = 0, high = 0;
    SendMessageTimeoutA(control, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &pos);
    SendMessageTimeoutA(control, PBM_GETRANGE, TRUE, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &low);
    SendMessageTimeoutA(control, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &high);
    printf("progress %d %d %d %d\n", id, (int)pos, (int)low, (int)high);
  }
  return TRUE;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const char* title = argv[1];
  DWORD timeout = (DWORD)strtoul(argv[2], NULL, 10);
  BOOL dismiss = FALSE;
  BOOL command = FALSE;
  WPARAM commandParam = 0;
  for (int i = 3; i < argc; ++i) {
    if (strcmp(argv[i], "--until-text") == 0 && i + 1 < argc) {
      untilText = argv[++i];
    } else if (strcmp(argv[i], "--command") == 0 && i + 1 < argc) {
      command = TRUE;
      commandParam = (WPARAM)strtoul(argv[++i], NULL, 0);
    } else if (strcmp(argv[i], "--dismiss") == 0) {
      dismiss = TRUE;
    } else {
      return 2;
    }
  }

  /* Polling: there is no notice across processes that a window appeared. */
  DWORD start = GetTickCount();
  HWND window = NULL;
  for (;;) {
    window = FindWindowA(NULL, title);
    if (window) {
      sawText = FALSE;
      EnumChildWindows(window, visitControl, 0);
      if (!untilText || sawText) break;
    }
    if (GetTickCount() - start >= timeout) break;
    Sleep(20);
  }
  if (!window) {
    printf("no window %s\n", title);
    return 1;
  }
  printing = TRUE;
  printf("window %s\n", title);
  EnumChildWindows(window, visitControl, 0);
  fflush(stdout);
  if (untilText && !sawText) return 1;

  if (command) {
    /* Sent, not posted: when it returns the dialog procedure has answered,
     * and a dialog it ended is already hidden. */
    DWORD_PTR unused = 0;
    if (!SendMessageTimeoutA(window, WM_COMMAND, commandParam, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                             &unused)) {
      return 1;
    }
    printf("visible %d\n", IsWindowVisible(window) ? 1 : 0);
    fflush(stdout);
  }

  if (dismiss) {
    PostMessageA(window, WM_COMMAND, IDOK, 0);
    while (IsWindow(window)) {
      if (GetTickCount() - start >= timeout) return 1;
      Sleep(20);
    }
  }
  return 0;
}
