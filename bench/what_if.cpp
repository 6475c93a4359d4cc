// Experiments, never part of the updater: loaded into it with LD_PRELOAD by
// bench/run.sh --profile, this library changes one thing at a time, chosen by
// the environment, so that the difference in a run's time is what that one
// thing costs.
//
//   BENCH_SHORT_POLL=1  every 1 ms nanosleep sleeps 50 µs instead: the cost of
//                       the update worker's 1 ms steps while it waits for a
//                       download
//   BENCH_NO_SYNC=1     fdatasync returns at once: the cost of putting each
//                       new file on the disk before it replaces the old one

#include <dlfcn.h>
#include <time.h>

#include <cstdlib>

namespace {

bool enabled(const char* name) {
  const char* value = std::getenv(name);
  return value && value[0] == '1';
}

}  // namespace

extern "C" int nanosleep(const struct timespec* request, struct timespec* remaining) {
  using Nanosleep = int (*)(const struct timespec*, struct timespec*);
  static Nanosleep real = reinterpret_cast<Nanosleep>(dlsym(RTLD_NEXT, "nanosleep"));
  static bool shorten = enabled("BENCH_SHORT_POLL");
  if (shorten && request && request->tv_sec == 0 && request->tv_nsec == 1000000) {
    const struct timespec shorter = {0, 50000};
    return real(&shorter, remaining);
  }
  return real(request, remaining);
}

extern "C" int fdatasync(int fd) {
  using Fdatasync = int (*)(int);
  static Fdatasync real = reinterpret_cast<Fdatasync>(dlsym(RTLD_NEXT, "fdatasync"));
  static bool skip = enabled("BENCH_NO_SYNC");
  return skip ? 0 : real(fd);
}
