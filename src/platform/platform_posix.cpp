#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/dialog_ui.h"
#include "platform/platform.h"

namespace {

DialogUi* uiOf(DialogHandle dialog) {
  return static_cast<DialogUi*>(dialog);
}

void* threadEntry(void* arg) {
  // The procedure travels through the void* of pthread_create; the cast back
  // is the only way to carry a function pointer through it.
  ThreadProc proc = reinterpret_cast<ThreadProc>(arg);
  proc(nullptr);
  return nullptr;
}

}  // namespace

void setDlgItemText(DialogHandle dialog, int id, const std::string& text) {
  if (dialog) uiOf(dialog)->setText(id, text);
}

void setProgressRange(DialogHandle dialog, int id, int low, int high) {
  if (dialog) uiOf(dialog)->setRange(id, low, high);
}

void setProgressPos(DialogHandle dialog, int id, int pos) {
  if (dialog) uiOf(dialog)->setPos(id, pos);
}

void endDialog(DialogHandle dialog, int result) {
  if (dialog) uiOf(dialog)->end(result);
}

// A message box has no owner window; here it is shown by whatever UI the shell
// installed as the dialog, or written to stderr if there is none yet.
extern DialogHandle gDialog;

void messageBox(const std::string& text, const std::string& caption) {
  if (gDialog) {
    uiOf(gDialog)->messageBox(text, caption);
  } else {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  }
}

bool startThread(ThreadProc proc) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, threadEntry, reinterpret_cast<void*>(proc));
  pthread_attr_destroy(&attr);
  return rc == 0;
}

void sleepOneMillisecond() {
  timespec delay{0, 1000000};
  while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

void yieldProcessor() {
  sched_yield();
}

std::FILE* openShared(const std::string& path, const char* mode) {
  // POSIX never denies other processes access to an open file.
  return std::fopen(path.c_str(), mode);
}

std::int64_t fileLength(std::FILE* file) {
  struct stat info;
  if (!file || fstat(fileno(file), &info) != 0) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

bool seek(std::FILE* file, std::int64_t offset) {
  // off_t is 64 bits wide wherever the core builds: Linux on 64-bit
  // processors, or with _FILE_OFFSET_BITS=64.
  static_assert(sizeof(off_t) >= sizeof(std::int64_t), "off_t cannot hold file offsets");
  return file && offset >= 0 && fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool replaceFile(const std::string& from, const std::string& to) {
  // The new content reaches the disk before the name points at it, so that
  // a power cut leaves the old file or the new one, never an empty one.
  int source = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (source < 0) return false;
  bool synced = fdatasync(source) == 0;
  close(source);
  if (!synced) return false;

  // rename() would replace a read-only file in a writable folder; Windows
  // refuses that, and so must we, so that a file the player protected stays.
  struct stat info;
  if (lstat(to.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return false;
    int fd = open(to.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    close(fd);
    // The new content takes the old file's permissions: a game executable
    // must stay executable.
    if (S_ISREG(info.st_mode) && chmod(from.c_str(), info.st_mode & 07777) != 0) return false;
  }
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool localTimeOf(std::time_t when, std::tm* out) {
  return localtime_r(&when, out) != nullptr;
}

void quickExit(int code) {
  _exit(code);
}
