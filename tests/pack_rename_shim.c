// Test-only, loaded into brightwick-pack or brightwick-updater with
// LD_PRELOAD: at the Nth rename of the process (rename, renameat, renameat2;
// N from BRIGHTWICK_SHIM_RENAME) it does what BRIGHTWICK_SHIM_ACTION says:
//   kill        SIGKILL before the rename, as a power cut or kill -9 would
//   kill-after  SIGKILL right after the rename
//   hup         SIGHUP at its default action (a dropped SSH session for a
//               program without a handler), then the rename
//   pause       create the file BRIGHTWICK_SHIM_MARK, then wait until a byte
//               arrives in the FIFO BRIGHTWICK_SHIM_FIFO, then the rename
//   fail        no rename: it fails with EIO
// Hard links (link, linkat) are counted apart: at the Nth
// (BRIGHTWICK_SHIM_LINK) it does what BRIGHTWICK_SHIM_LINK_ACTION says, one
// of kill, kill-after, or fail (with EPERM, as a file system without links
// answers).
// Other calls pass straight through. The product code knows nothing of it.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int gRenames = 0;
static int gLinks = 0;

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

enum { kPass, kKillAfter, kFail };

// Called before each counted call; says what to do with it.
static int before(int* count, const char* nth, const char* actionName) {
  if (++*count != atoi(setting(nth))) return kPass;
  const char* action = setting(actionName);
  if (strcmp(action, "kill") == 0) kill(getpid(), SIGKILL);
  if (strcmp(action, "hup") == 0) {
    signal(SIGHUP, SIG_DFL);
    raise(SIGHUP);
  }
  if (strcmp(action, "pause") == 0) pauseHere();
  if (strcmp(action, "fail") == 0) return kFail;
  return strcmp(action, "kill-after") == 0 ? kKillAfter : kPass;
}

static int beforeRename(void) {
  return before(&gRenames, "BRIGHTWICK_SHIM_RENAME", "BRIGHTWICK_SHIM_ACTION");
}

static int beforeLink(void) {
  return before(&gLinks, "BRIGHTWICK_SHIM_LINK", "BRIGHTWICK_SHIM_LINK_ACTION");
}

static int after(int result, int what) {
  if (what == kKillAfter) kill(getpid(), SIGKILL);
  return result;
}

static int failed(int error) {
  errno = error;
  return -1;
}

int rename(const char* from, const char* to) {
  int (*real)(const char*, const char*) =
      (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
  int what = beforeRename();
  return what == kFail ? failed(EIO) : after(real(from, to), what);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  int (*real)(int, const char*, int, const char*) =
      (int (*)(int, const char*, int, const char*))dlsym(RTLD_NEXT, "renameat");
  int what = beforeRename();
  return what == kFail ? failed(EIO) : after(real(fromDir, from, toDir, to), what);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  int (*real)(int, const char*, int, const char*, unsigned) =
      (int (*)(int, const char*, int, const char*, unsigned))dlsym(RTLD_NEXT, "renameat2");
  int what = beforeRename();
  return what == kFail ? failed(EIO) : after(real(fromDir, from, toDir, to, flags), what);
}

int link(const char* from, const char* to) {
  int (*real)(const char*, const char*) =
      (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "link");
  int what = beforeLink();
  return what == kFail ? failed(EPERM) : after(real(from, to), what);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
  int (*real)(int, const char*, int, const char*, int) =
      (int (*)(int, const char*, int, const char*, int))dlsym(RTLD_NEXT, "linkat");
  int what = beforeLink();
  return what == kFail ? failed(EPERM) : after(real(fromDir, from, toDir, to, flags), what);
}
