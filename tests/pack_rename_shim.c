// Test-only, loaded into brightwick-pack with LD_PRELOAD: at the Nth rename
// of the process (rename, renameat, renameat2; N from
// BRIGHTWICK_SHIM_RENAME) it does what BRIGHTWICK_SHIM_ACTION says:
//   kill        SIGKILL before the rename, as a power cut or kill -9 would
//   kill-after  SIGKILL right after the rename
//   hup         SIGHUP at its default action (a dropped SSH session for a
//               program without a handler), then the rename
//   pause       create the file BRIGHTWICK_SHIM_MARK, then wait until a byte
//               arrives in the FIFO BRIGHTWICK_SHIM_FIFO, then the rename
// Other renames pass straight through. The product code knows nothing of it.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int gRenames = 0;

static const char* setting(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

// The FIFO is open before the mark exists, so the test can never write to it
// before anyone reads.
static void pauseHere(void) {
  int fifo = open(setting("BRIGHTWICK_SHIM_FIFO"), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int mark = open(setting("BRIGHTWICK_SHIM_MARK"), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fifo < 0 || mark < 0) abort();
  close(mark);
  struct pollfd wait = {fifo, POLLIN, 0};
  while (poll(&wait, 1, -1) < 0) {
  }
  close(fifo);
}

// Called before each rename; returns nonzero to kill right after it.
static int beforeRename(void) {
  if (++gRenames != atoi(setting("BRIGHTWICK_SHIM_RENAME"))) return 0;
  const char* action = setting("BRIGHTWICK_SHIM_ACTION");
  if (strcmp(action, "kill") == 0) kill(getpid(), SIGKILL);
  if (strcmp(action, "hup") == 0) {
    signal(SIGHUP, SIG_DFL);
    raise(SIGHUP);
  }
  if (strcmp(action, "pause") == 0) pauseHere();
  return strcmp(action, "kill-after") == 0;
}

static int afterRename(int result, int killNow) {
  if (killNow) kill(getpid(), SIGKILL);
  return result;
}

int rename(const char* from, const char* to) {
  int (*real)(const char*, const char*) = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
  int killNow = beforeRename();
  return afterRename(real(from, to), killNow);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  int (*real)(int, const char*, int, const char*) =
      (int (*)(int, const char*, int, const char*))dlsym(RTLD_NEXT, "renameat");
  int killNow = beforeRename();
  return afterRename(real(fromDir, from, toDir, to), killNow);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  int (*real)(int, const char*, int, const char*, unsigned) =
      (int (*)(int, const char*, int, const char*, unsigned))dlsym(RTLD_NEXT, "renameat2");
  int killNow = beforeRename();
  return afterRename(real(fromDir, from, toDir, to, flags), killNow);
}
