// Measures making and applying binary delta patches on large files: time,
// patch size and the process's peak memory (resident set). bench/run.sh
// runs `compare` on scenario 7's patches and scenario 9's.
//
// Usage:
//   patch_bench edit --seed S OLD NEW
//       NEW becomes OLD with 200 scattered 4 KiB stretches rewritten, 1 MiB
//       inserted a third of the way in and 1 MiB deleted at two thirds.
//   patch_bench make [--source-window MIB] [--target-window MIB] [--target-window-kib K]
//                    [--djw] OLD NEW PATCH
//       --djw: sections compressed with xdelta3's DJW coder (read by xdelta3 only).
//   patch_bench apply [--xdelta3] [--block-kib K] [--blocks N] BASE PATCH OUT [BASE PATCH OUT...]
//       --xdelta3: with xdelta3's decoder instead of the updater's own.
//   patch_bench compare [--rounds N] OUT BASE PATCH [BASE PATCH...]
//       applies the patches with the updater's decoder and with xdelta3's,
//       each run a process of its own, alternating, N rounds (default 5);
//       prints each run's time and peak memory, then a line
//       "compare: ours S KIB xdelta3 S KIB" per round for bench/run.sh.
//
// Make bench_data the old file first, e.g. `bench_data file --seed 1 --bytes 256M old`.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/file_ptr.h"
#include "engine/patch_apply.h"
#include "patch_make.h"
#include "platform/platform.h"
#include "xdelta3_apply.h"

namespace {

using File = FilePtr;

File open(const std::string& path, const char* mode) {
  File file(std::fopen(path.c_str(), mode));
  if (!file) {
    std::perror(path.c_str());
    std::exit(1);
  }
  return file;
}

long peakRssKib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int usage() {
  std::fprintf(stderr,
               "usage: patch_bench edit --seed S OLD NEW | make [...] OLD NEW PATCH | "
               "compare [--rounds N] OUT BASE PATCH... | "
               "apply [...] BASE PATCH OUT\n");
  return 2;
}

// Copies `count` bytes of `in` to `out`.
void copyBytes(std::FILE* in, std::FILE* out, std::uint64_t count, std::vector<char>& buffer) {
  while (count > 0) {
    std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, buffer.size()));
    if (std::fread(buffer.data(), 1, piece, in) != piece ||
        std::fwrite(buffer.data(), 1, piece, out) != piece) {
      std::fprintf(stderr, "edit: short read or write\n");
      std::exit(1);
    }
    count -= piece;
  }
}

int edit(unsigned seed, const std::string& oldPath, const std::string& newPath) {
  File in = open(oldPath, "rb");
  File out = open(newPath, "wb");
  const std::uint64_t length = static_cast<std::uint64_t>(fileLength(in.get()));
  constexpr std::uint64_t kMiB = 1 << 20, kEdit = 4096;
  if (length < 8 * kMiB) return std::fprintf(stderr, "edit: OLD is too small\n"), 1;
  std::mt19937_64 random(seed);
  // What happens where, in order: `write` new bytes, then `skip` old ones.
  struct Change {
    std::uint64_t at, write, skip;
  };
  std::vector<Change> changes;
  const std::uint64_t insertAt = length / 3, deleteAt = 2 * length / 3;
  const std::uint64_t cell = length / 200;
  for (std::uint64_t i = 0; i < 200; ++i) {
    std::uint64_t at = i * cell + random() % (cell - kEdit);
    if (at + kEdit <= deleteAt || at >= deleteAt + kMiB) changes.push_back({at, kEdit, kEdit});
  }
  changes.push_back({insertAt, kMiB, 0});
  changes.push_back({deleteAt, 0, kMiB});
  std::sort(changes.begin(), changes.end(),
            [](const Change& a, const Change& b) { return a.at < b.at; });
  std::vector<char> buffer(kMiB), fresh(kMiB);
  std::uint64_t position = 0;
  for (const Change& change : changes) {
    if (change.at < position) continue;  // overlaps the one before
    copyBytes(in.get(), out.get(), change.at - position, buffer);
    for (std::uint64_t i = 0; i < change.write; ++i) fresh[i] = static_cast<char>(random());
    std::fwrite(fresh.data(), 1, change.write, out.get());
    position = change.at + change.skip;
    seek(in.get(), static_cast<std::int64_t>(position));
  }
  copyBytes(in.get(), out.get(), length - position, buffer);
  std::printf(
      "edit: %zu changes (4 KiB rewritten, 1 MiB inserted, 1 MiB deleted): "
      "%llu -> %lld bytes\n",
      changes.size(), static_cast<unsigned long long>(length),
      static_cast<long long>(fileLength(out.get())));
  return 0;
}

// Applies each BASE PATCH OUT triple in `args`; the time and peak memory are
// those of all of them.
int apply(const std::vector<std::string>& args, bool xdelta3, const BaseCache& cache) {
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i + 2 < args.size(); i += 3) {
    // A new file, not a truncated one, which ext4 would put on the disk
    // when it is closed: the runs would measure the disk.
    std::remove(args[i + 2].c_str());
    File base = open(args[i], "rb"), patch = open(args[i + 1], "rb"), out = open(args[i + 2], "wb");
    PatchOutcome outcome = (xdelta3 ? applyPatchWithXdelta3 : applyPatch)(
        base.get(), patch.get(), out.get(), UINT64_MAX, nullptr, cache);
    if (!outcome.ok) {
      std::fprintf(stderr, "apply: %s: FAILED: %s\n", args[i + 1].c_str(), outcome.error.c_str());
      return 1;
    }
    if (args.size() == 3) {
      std::printf("apply: ok, %lld bytes, crc %08x, %llu base blocks read\n",
                  static_cast<long long>(outcome.size), outcome.crc,
                  static_cast<unsigned long long>(outcome.baseReads));
    }
  }
  std::printf("apply (%s): %zu patch(es), %.3f s, peak RSS %.1f MiB\n",
              xdelta3 ? "xdelta3" : "the updater's decoder", args.size() / 3, secondsSince(start),
              peakRssKib() / 1024.0);
  return 0;
}

// Runs `self apply [--xdelta3] ...` as a process of its own: its wall time and
// peak memory (from the kernel, for that process alone), or false.
bool timedApply(const char* self, const std::vector<std::string>& triples, bool xdelta3,
                double* seconds, long* peakKib) {
  std::vector<std::string> words{self, "apply"};
  if (xdelta3) words.push_back("--xdelta3");
  words.insert(words.end(), triples.begin(), triples.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    execv(self, argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return false;
  *seconds = secondsSince(start);
  *peakKib = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int compare(const std::vector<std::string>& args, unsigned rounds) {
  if (args.size() < 3 || (args.size() - 1) % 2 != 0) return usage();
  std::vector<std::string> triples;
  for (std::size_t i = 1; i + 1 < args.size(); i += 2) {
    triples.insert(triples.end(), {args[i], args[i + 1], args[0]});
  }
  const std::string self = "/proc/self/exe";
  char path[4096];
  const ssize_t length = readlink(self.c_str(), path, sizeof path - 1);
  if (length <= 0) return std::fprintf(stderr, "compare: cannot find myself\n"), 1;
  path[length] = '\0';
  for (unsigned round = 0; round < rounds; ++round) {
    double seconds[2];
    long peak[2];
    for (int xdelta3 = 0; xdelta3 < 2; ++xdelta3) {
      if (!timedApply(path, triples, xdelta3 == 1, &seconds[xdelta3], &peak[xdelta3])) {
        std::fprintf(stderr, "compare: a run failed\n");
        return 1;
      }
    }
    std::printf("compare: ours %.3f %ld xdelta3 %.3f %ld\n", seconds[0], peak[0], seconds[1],
                peak[1]);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  std::vector<std::string> args;
  PatchOptions makeOptions;
  BaseCache cache;
  unsigned seed = 1, rounds = 5;
  bool xdelta3 = false;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&] { return i + 1 < argc ? std::strtoul(argv[++i], nullptr, 10) : 0ul; };
    if (arg == "--seed") {
      seed = static_cast<unsigned>(value());
    } else if (arg == "--source-window") {
      makeOptions.sourceWindow = static_cast<std::uint32_t>(value() << 20);
    } else if (arg == "--target-window") {
      makeOptions.targetWindow = static_cast<std::uint32_t>(value() << 20);
    } else if (arg == "--target-window-kib") {
      makeOptions.targetWindow = static_cast<std::uint32_t>(value() << 10);
    } else if (arg == "--plain") {
      makeOptions.compressSections = false;
    } else if (arg == "--djw") {
      makeOptions.compressSections = true;
    } else if (arg == "--xdelta3") {
      xdelta3 = true;
    } else if (arg == "--rounds") {
      rounds = static_cast<unsigned>(value());
    } else if (arg == "--block-kib") {
      cache.blockSize = static_cast<std::uint32_t>(value() << 10);
    } else if (arg == "--blocks") {
      cache.blockCount = static_cast<int>(value());
    } else {
      args.push_back(arg);
    }
  }
  const auto start = std::chrono::steady_clock::now();
  if (command == "edit" && args.size() == 2) return edit(seed, args[0], args[1]);
  if (command == "make" && args.size() == 3) {
    File oldFile = open(args[0], "rb"), newFile = open(args[1], "rb"), patch = open(args[2], "wb");
    PatchMade made = makePatch(oldFile.get(), newFile.get(), patch.get(), makeOptions);
    std::printf(
        "make: %s%s, patch %llu bytes, %.2f s, encoder memory %.1f MiB, peak RSS %.1f MiB\n",
        made.ok ? "ok" : "FAILED: ", made.error.c_str(), static_cast<unsigned long long>(made.size),
        secondsSince(start), made.peakMemory / 1048576.0, peakRssKib() / 1024.0);
    return made.ok ? 0 : 1;
  }
  if (command == "apply" && !args.empty() && args.size() % 3 == 0) {
    return apply(args, xdelta3, cache);
  }
  if (command == "compare") return compare(args, rounds);
  return usage();
}
