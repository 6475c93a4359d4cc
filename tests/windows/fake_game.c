/* Stands in for the game, tdx.exe: leaves a mark file in its current folder
 * holding that folder's Windows path, so a test sees that, and where, the
 * updater started it. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)instance;
  (void)previous;
  (void)commandLine;
  (void)show;
  char folder[MAX_PATH];
  DWORD length = GetCurrentDirectoryA(sizeof folder, folder);
  if (length == 0 || length >= sizeof folder) return 1;
  /* Written under another name and renamed, so the mark appears whole. */
  HANDLE mark = CreateFileA("game-started.part", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (mark == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  BOOL ok = WriteFile(mark, folder, length, &written, NULL);
  CloseHandle(mark);
  if (!ok || !MoveFileA("game-started.part", "game-started")) return 1;
  return 0;
}
