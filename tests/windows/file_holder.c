/* Holds a file open the way a running game holds its data: read access,
 * sharing nothing with other processes.
 *
 *   file_holder.exe FILE READY RELEASE
 *
 * Opens FILE, creates the file READY, and keeps FILE open until the file
 * RELEASE appears (at most two minutes). Exit code 0 if it held the file. */
#include <windows.h>

static BOOL exists(const char* path) {
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  HANDLE held =
      CreateFileA(argv[1], GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (held == INVALID_HANDLE_VALUE) return 3;
  HANDLE ready =
      CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (ready == INVALID_HANDLE_VALUE) return 4;
  CloseHandle(ready);
  /* Nothing to wait on across Wine and the test but the file system. */
  DWORD start = GetTickCount();
  while (!exists(argv[3]) && GetTickCount() - start < 120000) Sleep(20);
  CloseHandle(held);
  return 0;
}
