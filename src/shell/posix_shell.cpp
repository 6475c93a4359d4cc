#include "shell/posix_shell.h"

#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <unistd.h>

#include <csignal>

#include "log/dated_log.h"
#include "platform/dialog.h"
#include "platform/game_folder.h"
#include "platform/platform.h"
#include "platform/thread.h"
#include "shell/gtk_dialog.h"
#include "shell/text_dialog.h"
#include "update/update_run.h"

namespace {

constexpr char kGameExecutable[] = "tdx.exe";
// How long the updater stays behind the started game for the file in hand.
constexpr int kWorkerGraceSeconds = 10;

}  // namespace

void launchGame() {
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A session of its own: closing the updater's terminal must not take the
  // game down with it. The dialog blocks Ctrl-C and hang-up for itself; the
  // game starts with no signal blocked.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

  std::string path = std::string("./") + kGameExecutable;
  char* argv[] = {const_cast<char*>(kGameExecutable), nullptr};
  pid_t pid;
  posix_spawn(&pid, path.c_str(), &actions, &attr, argv, environ);

  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
}

void finishUpdateWorker(UpdateRun& run, int seconds) {
  for (long waited = 0; !run.finished && waited < seconds * 1000L; ++waited) {
    sleepOneMillisecond();
  }
  // A worker still running (a stalled server, say) would use the globals
  // while they are destroyed: end the process where it stands instead. What
  // it leaves half-done is found stale and redone by the next run.
  if (!run.finished) quickExit(0);
  run.worker.reset();
}

int runUpdaterShell(UpdateRun& run) {
  // One run per game folder: a second updater (a double click) leaves the
  // update and the game's start to the first, which is already at it.
  if (lockGameFolder() == FolderLock::busy) return 0;
  // A terminal closed under us must not kill the process with SIGPIPE before
  // the game is started.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    // A window on the desktop; on a console, or wherever no display opens,
    // the status line on the terminal.
    if (openGtkDisplay()) {
      runGtkDialog(run);
    } else {
      runTextDialog(run);
    }
  } catch (...) {
    writeLog("Error updating");
  }
  stopUpdateWorker();
  launchGame();
  // From here on a second Ctrl-C may end the updater as usual: the game runs.
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);
  finishUpdateWorker(run, kWorkerGraceSeconds);
  return 0;
}
