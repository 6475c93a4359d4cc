// Measures making and applying binary delta patches on large files: time,
// patch size and the process's peak memory (resident set). Not run by
// bench/run.sh; the figures are in the patch work's notes.
//
// Usage:
//   patch_bench edit --seed S OLD NEW
//       NEW becomes OLD with 200 scattered 4 KiB stretches rewritten, 1 MiB
//       inserted a third of the way in and 1 MiB deleted at two thirds.
//   patch_bench make [--source-window MIB] [--target-window MIB] [--plain] OLD NEW PATCH
//       --plain: no DJW compression of the sections.
//   patch_bench apply [--block-kib K] [--blocks N] BASE PATCH OUT
//
// Make bench_data the old file first, e.g. `bench_data file --seed 1 --bytes 256M old`.

#include <sys/resource.h>

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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  std::vector<std::string> args;
  PatchOptions makeOptions;
  BaseCache cache;
  unsigned seed = 1;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&] { return i + 1 < argc ? std::strtoul(argv[++i], nullptr, 10) : 0ul; };
    if (arg == "--seed") {
      seed = static_cast<unsigned>(value());
    } else if (arg == "--source-window") {
      makeOptions.sourceWindow = static_cast<std::uint32_t>(value() << 20);
    } else if (arg == "--target-window") {
      makeOptions.targetWindow = static_cast<std::uint32_t>(value() << 20);
    } else if (arg == "--plain") {
      makeOptions.compressSections = false;
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
  if (command == "apply" && args.size() == 3) {
    File base = open(args[0], "rb"), patch = open(args[1], "rb"), out = open(args[2], "wb");
    PatchOutcome outcome =
        applyPatch(base.get(), patch.get(), out.get(), UINT64_MAX, nullptr, cache);
    std::printf(
        "apply: %s%s, %lld bytes, crc %08x, %llu base blocks read, %.2f s, peak RSS %.1f MiB\n",
        outcome.ok ? "ok" : "FAILED: ", outcome.error.c_str(), static_cast<long long>(outcome.size),
        outcome.crc, static_cast<unsigned long long>(outcome.baseReads), secondsSince(start),
        peakRssKib() / 1024.0);
    return outcome.ok ? 0 : 1;
  }
  return usage();
}
