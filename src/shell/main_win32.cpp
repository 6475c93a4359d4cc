#include <windows.h>
// After windows.h, which it builds on.
#include <mmsystem.h>
#include <shellapi.h>

#include "log/dated_log.h"
#include "platform/dialog.h"
#include "platform/game_folder.h"
#include "platform/platform.h"
#include "platform/resource_ids.h"
#include "platform/running_program.h"
#include "public_keys.h"
#include "shell/win32_shell.h"
#include "update/update_run.h"

HINSTANCE gInstance = nullptr;

namespace {

constexpr char kGameExecutable[] = "tdx.exe";
// How long the updater stays behind the started game for the file in hand.
constexpr DWORD kWorkerGraceMs = 10000;

// Waits up to `timeoutMs` for the update worker to finish. Messages sent to
// this thread are served meanwhile: a worker may still be inside a
// SendMessage to the dialog that has just gone, and Windows completes that
// call only when this thread next takes messages.
bool waitForUpdateWorker(const UpdateRun& run, DWORD timeoutMs) {
  // GetTickCount, not GetTickCount64 (which Windows XP lacks); unsigned
  // subtraction survives its wrap-around.
  const DWORD start = GetTickCount();
  while (!run.finished) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    if (GetTickCount() - start >= timeoutMs) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
  }
  return run.finished;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // The update worker waits for each transfer in Sleep(1) steps; at the
  // default timer resolution each lasts a clock tick (about 15.6 ms), which
  // would add that much to every file. Windows restores the resolution when
  // the process ends.
  timeBeginPeriod(1);
  // Lives until the process ends: a worker may outlive the dialog.
  static UpdateRun run;
  run.options.publicKeys = publicKeysOf(kBuiltInPublicKeys);
  // Before anything could rename it.
  run.options.updaterFile = runningProgramFile();
  // One run per game folder: a second updater (a double click) leaves the
  // update and the game's start to the first, which is already at it.
  if (lockGameFolder() == FolderLock::busy) return 0;
  try {
    gInstance = instance;
    // The dialog has no owner.
    DialogBoxParamA(gInstance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, progressDialogProc,
                    reinterpret_cast<LPARAM>(&run));
  } catch (...) {
    writeLog("Error updating");
  }
  // However the dialog went, from here on no worker may wait on it, and the
  // run stops before its next file.
  stopUpdateWorker();
  ShellExecuteA(nullptr, "open", kGameExecutable, nullptr, nullptr, SW_SHOWNORMAL);
  // A worker still running (a stalled server, say) would use the globals
  // while they are destroyed: end the process where it stands instead. What
  // it leaves half-done is found stale and redone by the next run.
  // A dialog that never opened started no worker, and there is nothing to
  // wait for.
  if (run.started && !waitForUpdateWorker(run, kWorkerGraceMs)) quickExit(0);
  run.worker.reset();
  return 0;
}
