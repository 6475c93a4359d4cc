// An experiment, never part of the updater: loaded with LD_PRELOAD, it turns
// every 1 ms nanosleep into a 50 µs one. The update worker waits for each
// download by sleeping 1 ms at a time, so the difference this makes to a run
// is what that granularity costs (bench/run.sh --profile).

#include <dlfcn.h>
#include <time.h>

extern "C" int nanosleep(const struct timespec* request, struct timespec* remaining) {
  using Nanosleep = int (*)(const struct timespec*, struct timespec*);
  static Nanosleep real = reinterpret_cast<Nanosleep>(dlsym(RTLD_NEXT, "nanosleep"));
  if (request && request->tv_sec == 0 && request->tv_nsec == 1000000) {
    const struct timespec shorter = {0, 50000};
    return real(&shorter, remaining);
  }
  return real(request, remaining);
}
