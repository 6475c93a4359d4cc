// Makes the benchmark's data, the same bytes for the same seed on every
// machine: game releases with a realistic mix of file sizes and contents,
// the old versions of the files a patch changes, single large files, and
// the next version of a file as a game patch changes it.
//
// Usage:
//   bench_data game --seed S --files N --bytes B --patched K --patched-bytes P RELEASE OLD
//       RELEASE gets N files of B bytes in all (many small, some large);
//       OLD gets the previous version of K of them (P bytes in RELEASE), under
//       the same names, older and with other contents and sizes.
//   bench_data uniform --seed S --files N --size B RELEASE OLD
//       N files of exactly B bytes each in RELEASE, and an older version of
//       every one of them, also of B bytes, in OLD.
//   bench_data file --seed S --bytes B [--kind K] PATH
//       One file of B bytes, a mix of the three kinds in 1 MiB stretches, or
//       of one kind K (text, binary or noise).
//   bench_data edit --seed S [--scatter N] [--scatter-max B] [--insert N]
//                   [--delete N] [--block-max B] [--head B] [--append B] OLD NEW
//       NEW becomes the next version of OLD, as a game patch changes a pack
//       file: N small stretches rewritten in place (16 bytes to B each), N
//       blocks inserted and N deleted (4 KiB to B each) so that what follows
//       them shifts, the first B bytes rewritten (the pack's directory), B
//       bytes appended. Streams, so OLD may be of any size. NEW is dated
//       kPatchTime, so that rsync sees it changed even at the same size.
//   bench_data read [--crc | --crc-libdeflate] DIR
//       Reads every file under DIR once, through one reused 256 KiB buffer:
//       the floor for anything that must look at every byte. With --crc, also
//       computes each file's CRC-32 with zlib, as the updater's check does;
//       with --crc-libdeflate, with libdeflate's (carry-less multiplication),
//       if bench_data was built with it.
//
// Sizes take the suffixes K, M and G (powers of 1024). Every file of a
// release is dated kReleaseTime and every old version kOldTime, so that
// rsync's size-and-date check sees exactly the patched files as changed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#if BENCH_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/file_ptr.h"

namespace fs = std::filesystem;

namespace {

constexpr std::time_t kReleaseTime = 1748736000;  // 2025-06-01 00:00 UTC
constexpr std::time_t kOldTime = 1735689600;      // 2025-01-01 00:00 UTC
constexpr std::time_t kPatchTime = 1756684800;    // 2025-09-01 00:00 UTC
constexpr std::size_t kBlock = 1 << 20;

// splitmix64: tiny, fast, and the same sequence everywhere, unlike the
// standard library's distributions.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // 0 <= result < bound
  std::uint64_t below(std::uint64_t bound) { return next() % bound; }
  // [0, 1)
  double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
  // Log-uniform between low and high: as many files of 1-2 KiB as of 64-128 KiB.
  double logUniform(double low, double high) {
    return std::exp(std::log(low) + unit() * (std::log(high) - std::log(low)));
  }

 private:
  std::uint64_t state_;
};

std::uint64_t mix(std::uint64_t seed, std::uint64_t a, std::uint64_t b) {
  Random r(seed ^ (a * 0x9e3779b97f4a7c15ULL) ^ (b * 0xc2b2ae3d27d4eb4fULL));
  return r.next();
}

// What a game's files look like to deflate: text (scripts, levels, configs)
// shrinks to about a third, structured binary (meshes, uncompressed
// textures) to about two thirds, and media that are already compressed (sounds,
// videos, PNGs) not at all.
enum class Kind { text, binary, noise };
const char* const kKindNames[] = {"text", "binary", "noise"};

void fillText(Random& random, std::vector<char>& out, std::size_t size) {
  static const char* const kWords[] = {
      "entity", "spawn",  "model",  "texture", "sound",   "trigger", "door",   "light",
      "player", "enemy",  "weapon", "ammo",    "health",  "armor",   "key",    "level",
      "map",    "region", "path",   "node",    "script",  "call",    "if",     "end",
      "return", "local",  "true",   "false",   "nil",     "wait",    "play",   "stop",
      "pos",    "angle",  "scale",  "color",   "alpha",   "speed",   "radius", "damage",
      "tree",   "rock",   "wall",   "floor",   "ceiling", "water",   "fire",   "smoke",
      "crate",  "barrel", "lamp",   "switch",  "lever",   "bridge",  "gate",   "tower"};
  constexpr std::size_t kWordCount = sizeof kWords / sizeof kWords[0];
  out.clear();
  char number[32];
  while (out.size() < size) {
    std::size_t words = 2 + random.below(5);
    for (std::size_t w = 0; w < words; ++w) {
      const char* word = kWords[random.below(kWordCount)];
      out.insert(out.end(), word, word + std::strlen(word));
      out.push_back(' ');
      if (random.below(3) == 0) {
        int length = std::snprintf(number, sizeof number, "%d.%02d ",
                                   static_cast<int>(random.below(2000)) - 1000,
                                   static_cast<int>(random.below(100)));
        out.insert(out.end(), number, number + length);
      }
    }
    out.back() = '\n';
  }
  out.resize(size);
}

// 24-byte vertices: a position that wanders in fine steps, an index that
// counts up, texture coordinates and a normal from a small set. Deflate
// finds short matches only, as in real meshes and uncompressed textures.
void fillBinary(Random& random, std::vector<char>& out, std::size_t size) {
  out.resize(size);
  float position[3] = {0, 0, 0};
  for (std::size_t at = 0, vertex = 0; at < size; at += 24, ++vertex) {
    unsigned char record[24] = {};
    for (float& p : position) {
      p += static_cast<float>(static_cast<int>(random.below(2001)) - 1000) / 4096.0f;
    }
    std::memcpy(record, position, sizeof position);
    std::uint32_t index = static_cast<std::uint32_t>(vertex);
    std::memcpy(record + 12, &index, 4);
    std::uint16_t uv[2] = {static_cast<std::uint16_t>(random.below(65536)),
                           static_cast<std::uint16_t>(vertex * 7)};
    std::memcpy(record + 16, uv, 4);
    std::uint32_t normal = static_cast<std::uint32_t>(random.below(16)) * 0x01010101u;
    std::memcpy(record + 20, &normal, 4);
    std::memcpy(out.data() + at, record, std::min<std::size_t>(24, size - at));
  }
}

void fillNoise(Random& random, std::vector<char>& out, std::size_t size) {
  out.resize(size);
  for (std::size_t at = 0; at < size; at += 8) {
    std::uint64_t value = random.next();
    std::memcpy(out.data() + at, &value, std::min<std::size_t>(8, size - at));
  }
}

void fill(Kind kind, Random& random, std::vector<char>& out, std::size_t size) {
  switch (kind) {
    case Kind::text:
      return fillText(random, out, size);
    case Kind::binary:
      return fillBinary(random, out, size);
    case Kind::noise:
      return fillNoise(random, out, size);
  }
}

void setTime(const fs::path& path, std::time_t when) {
  timespec times[2] = {{when, 0}, {when, 0}};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    throw std::runtime_error("cannot date " + path.string());
  }
}

// Writes `size` bytes to `path`; `pick` chooses the kind of each 1 MiB
// stretch (always the same one for a file of one kind).
template <typename Pick>
void writeFile(const fs::path& path, std::uint64_t size, std::uint64_t seed, Pick pick,
               std::time_t when) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  FilePtr out(std::fopen(path.c_str(), "wb"));
  if (!out) throw std::runtime_error("cannot create " + path.string());
  Random random(seed);
  std::vector<char> block;
  block.reserve(kBlock + 64);
  for (std::uint64_t written = 0; written < size;) {
    std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, size - written));
    fill(pick(random), random, block, length);
    if (std::fwrite(block.data(), 1, length, out.get()) != length) {
      throw std::runtime_error("cannot write " + path.string());
    }
    written += length;
  }
  if (std::fclose(out.release()) != 0) throw std::runtime_error("cannot write " + path.string());
  setTime(path, when);
}

void writeOfKind(const fs::path& path, std::uint64_t size, std::uint64_t seed, Kind kind,
                 std::time_t when) {
  writeFile(
      path, size, seed, [kind](Random&) { return kind; }, when);
}

struct Entry {
  std::string name;
  std::uint64_t size = 0;
  Kind kind = Kind::text;
  bool patched = false;
};

// Where a kind of file lives in the game, and how it is named.
std::string nameFor(Kind kind, std::size_t index, Random& random) {
  struct Place {
    const char* folder;
    const char* stem;
    const char* extension;
  };
  static const Place kText[] = {
      {"scripts", "script", ".lua"}, {"maps", "level", ".map"}, {"data", "table", ".cfg"}};
  static const Place kBinary[] = {
      {"models", "mesh", ".mdl"}, {"textures", "tex", ".dds"}, {"data", "pack", ".bin"}};
  static const Place kNoise[] = {
      {"sounds", "sfx", ".ogg"}, {"textures/ui", "icon", ".png"}, {"video", "movie", ".bik"}};
  const Place* places = kind == Kind::text ? kText : kind == Kind::binary ? kBinary : kNoise;
  const Place& place = places[random.below(3)];
  char number[24];
  std::snprintf(number, sizeof number, "%05zu", index);
  return std::string(place.folder) + "/" + place.stem + "_" + number + place.extension;
}

Kind pickKind(Random& random, int textShare, int binaryShare) {
  int roll = static_cast<int>(random.below(100));
  if (roll < textShare) return Kind::text;
  if (roll < textShare + binaryShare) return Kind::binary;
  return Kind::noise;
}

// Scales `sizes` so that they add up to exactly `total` (each at least 1).
void scaleTo(std::vector<std::uint64_t*>& sizes, std::uint64_t total) {
  if (sizes.empty()) return;
  if (total < sizes.size()) throw std::runtime_error("too few bytes for that many files");
  double sum = 0;
  for (auto* size : sizes) sum += static_cast<double>(*size);
  double factor = static_cast<double>(total) / sum;
  std::uint64_t scaled = 0;
  for (auto* size : sizes) {
    *size = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(*size * factor));
    scaled += *size;
  }
  // Rounding leaves a few bytes over or under; the largest file absorbs them.
  auto* largest =
      *std::max_element(sizes.begin(), sizes.end(), [](auto* a, auto* b) { return *a < *b; });
  *largest = *largest + total - scaled;
}

std::vector<Entry> planGame(std::uint64_t seed, std::size_t files, std::uint64_t bytes,
                            std::size_t patched, std::uint64_t patchedBytes) {
  if (patched > files || patchedBytes > bytes) throw std::runtime_error("patch larger than game");
  Random random(mix(seed, 1, 0));
  std::vector<Entry> entries(files);
  // The patched files are spread over the whole list.
  std::vector<std::size_t> order(files);
  std::iota(order.begin(), order.end(), 0);
  for (std::size_t i = files; i > 1; --i) std::swap(order[i - 1], order[random.below(i)]);
  for (std::size_t i = 0; i < patched; ++i) entries[order[i]].patched = true;

  std::vector<std::uint64_t*> unchangedSizes, patchedSizes;
  for (std::size_t i = 0; i < files; ++i) {
    Entry& entry = entries[i];
    double size;
    int roll = static_cast<int>(random.below(1000));
    if (entry.patched) {
      // What a patch touches: scripts, tables, a few meshes and textures;
      // rarely a whole video.
      size = roll < 500 ? random.logUniform(4 << 10, 256 << 10)
                        : random.logUniform(256 << 10, 4 << 20);
      entry.kind = pickKind(random, 45, 35);
    } else if (roll < 800) {  // many small files
      size = random.logUniform(1 << 10, 128 << 10);
      entry.kind = pickKind(random, 60, 25);
    } else if (roll < 990) {
      size = random.logUniform(128 << 10, 4 << 20);
      entry.kind = pickKind(random, 30, 35);
    } else {  // some large ones
      size = random.logUniform(8 << 20, 64 << 20);
      entry.kind = pickKind(random, 10, 30);
    }
    entry.size = static_cast<std::uint64_t>(size);
    entry.name = nameFor(entry.kind, i, random);
    (entry.patched ? patchedSizes : unchangedSizes).push_back(&entry.size);
  }
  scaleTo(patchedSizes, patchedBytes);
  scaleTo(unchangedSizes, bytes - patchedBytes);
  return entries;
}

std::vector<Entry> planUniform(std::uint64_t seed, std::size_t files, std::uint64_t size) {
  Random random(mix(seed, 2, 0));
  std::vector<Entry> entries(files);
  for (std::size_t i = 0; i < files; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "small/d%02zu/f%05zu.dat", i / 500, i);
    entries[i].name = name;
    entries[i].size = size;
    entries[i].kind = pickKind(random, 60, 25);
    entries[i].patched = true;
  }
  return entries;
}

void writeRelease(const std::vector<Entry>& entries, std::uint64_t seed, const fs::path& release,
                  const fs::path& old, bool sameOldSize) {
  std::uint64_t total = 0, patchedTotal = 0, oldTotal = 0;
  std::map<std::string, std::uint64_t> kindBytes;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& entry = entries[i];
    writeOfKind(release / entry.name, entry.size, mix(seed, i, 1), entry.kind, kReleaseTime);
    total += entry.size;
    kindBytes[kKindNames[static_cast<int>(entry.kind)]] += entry.size;
    if (!entry.patched) continue;
    patchedTotal += entry.size;
    // The old version: other contents, and usually another size.
    Random random(mix(seed, i, 2));
    std::uint64_t oldSize = entry.size;
    if (!sameOldSize) {
      oldSize = std::max<std::uint64_t>(1, entry.size * (90 + random.below(21)) / 100);
    }
    writeOfKind(old / entry.name, oldSize, mix(seed, i, 3), entry.kind, kOldTime);
    oldTotal += oldSize;
  }
  std::size_t patched = static_cast<std::size_t>(
      std::count_if(entries.begin(), entries.end(), [](const Entry& e) { return e.patched; }));
  std::printf("files %zu bytes %llu patched %zu patched_bytes %llu old_bytes %llu", entries.size(),
              static_cast<unsigned long long>(total), patched,
              static_cast<unsigned long long>(patchedTotal),
              static_cast<unsigned long long>(oldTotal));
  for (const auto& [kind, bytes] : kindBytes) {
    std::printf(" %s %.0f%%", kind.c_str(), 100.0 * static_cast<double>(bytes) / total);
  }
  std::printf("\n");
}

// What `edit` does to a file; see the usage at the top.
struct EditPlan {
  std::uint64_t scatter = 0, scatterMax = 4096;
  std::uint64_t insert = 0, remove = 0, blockMax = 256 << 10;
  std::uint64_t head = 0, append = 0;
};

// Copies `count` bytes from `in` to `out`.
void copyBytes(std::FILE* in, std::FILE* out, std::uint64_t count, std::vector<char>& buffer) {
  while (count > 0) {
    std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, buffer.size()));
    if (std::fread(buffer.data(), 1, piece, in) != piece ||
        std::fwrite(buffer.data(), 1, piece, out) != piece) {
      throw std::runtime_error("short read or write while editing");
    }
    count -= piece;
  }
}

// Writes `count` new bytes: noise for a rewrite (changed values), a kind
// per 1 MiB stretch for new content.
void writeFresh(std::FILE* out, std::uint64_t count, bool mixed, Random& random,
                std::vector<char>& block) {
  while (count > 0) {
    std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, kBlock));
    fill(mixed ? pickKind(random, 35, 30) : Kind::noise, random, block, piece);
    if (std::fwrite(block.data(), 1, piece, out) != piece) {
      throw std::runtime_error("cannot write while editing");
    }
    count -= piece;
  }
}

int editFile(std::uint64_t seed, const EditPlan& plan, const fs::path& oldPath,
             const fs::path& newPath) {
  const std::uint64_t length = fs::file_size(oldPath);
  FilePtr in(std::fopen(oldPath.c_str(), "rb"));
  if (!in) throw std::runtime_error("cannot open " + oldPath.string());
  if (newPath.has_parent_path()) fs::create_directories(newPath.parent_path());
  FilePtr out(std::fopen(newPath.c_str(), "wb"));
  if (!out) throw std::runtime_error("cannot create " + newPath.string());
  Random random(mix(seed, 4, 0));
  // At `at` in the old file: write `write` new bytes, then skip `skip` old ones.
  struct Change {
    std::uint64_t at, write, skip;
    bool mixed;
  };
  std::vector<Change> changes;
  auto span = [&random](std::uint64_t low, std::uint64_t high) {
    return static_cast<std::uint64_t>(random.logUniform(static_cast<double>(low),
                                                        static_cast<double>(std::max(low, high))));
  };
  if (plan.head > 0) {
    std::uint64_t n = std::min(plan.head, length);
    changes.push_back({0, n, n, false});
  }
  for (std::uint64_t i = 0; i < plan.scatter; ++i) {
    std::uint64_t n = span(16, plan.scatterMax);
    if (n < length) changes.push_back({random.below(length - n), n, n, false});
  }
  for (std::uint64_t i = 0; i < plan.insert; ++i) {
    changes.push_back({random.below(length + 1), span(4096, plan.blockMax), 0, true});
  }
  for (std::uint64_t i = 0; i < plan.remove; ++i) {
    std::uint64_t n = span(4096, plan.blockMax);
    if (n < length) changes.push_back({random.below(length - n), 0, n, false});
  }
  std::stable_sort(changes.begin(), changes.end(),
                   [](const Change& a, const Change& b) { return a.at < b.at; });
  std::vector<char> buffer(kBlock), block;
  block.reserve(kBlock + 64);
  std::uint64_t position = 0, rewritten = 0, inserted = 0, deleted = 0, made = 0;
  for (const Change& change : changes) {
    if (change.at < position) continue;  // overlaps the one before
    copyBytes(in.get(), out.get(), change.at - position, buffer);
    writeFresh(out.get(), change.write, change.mixed, random, block);
    position = change.at + change.skip;
    if (fseeko(in.get(), static_cast<off_t>(position), SEEK_SET) != 0) {
      throw std::runtime_error("cannot seek in " + oldPath.string());
    }
    (change.skip == 0 ? inserted : change.write == 0 ? deleted : rewritten) +=
        change.skip == 0 ? change.write : change.skip;
    ++made;
  }
  copyBytes(in.get(), out.get(), length - position, buffer);
  writeFresh(out.get(), plan.append, true, random, block);
  if (std::fclose(out.release()) != 0) throw std::runtime_error("cannot write " + newPath.string());
  setTime(newPath, kPatchTime);
  std::printf("old %llu new %llu changes %llu rewritten %llu inserted %llu deleted %llu "
              "appended %llu\n",
              static_cast<unsigned long long>(length),
              static_cast<unsigned long long>(fs::file_size(newPath)),
              static_cast<unsigned long long>(made), static_cast<unsigned long long>(rewritten),
              static_cast<unsigned long long>(inserted), static_cast<unsigned long long>(deleted),
              static_cast<unsigned long long>(plan.append));
  return 0;
}

// cat would do, but it allocates and frees its buffer for every file, and on
// this kind of virtual machine the unmapping costs as much as the reading.
enum class Crc { none, zlib, libdeflate };

std::uint32_t crcUpdate(Crc kind, std::uint32_t sum, const char* data, std::size_t size) {
  switch (kind) {
    case Crc::none:
      return sum;
    case Crc::zlib:
      return static_cast<std::uint32_t>(
          crc32(sum, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
    case Crc::libdeflate:
#if BENCH_HAVE_LIBDEFLATE
      return libdeflate_crc32(sum, data, size);
#else
      throw std::runtime_error("built without libdeflate (install libdeflate-dev)");
#endif
  }
  return sum;
}

int readAll(const fs::path& dir, Crc crc) {
  std::vector<char> buffer(256 << 10);
  std::uint64_t total = 0;
  std::uint32_t sums = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    int fd = open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + entry.path().string());
    ssize_t got;
    std::uint32_t sum = 0;
    while ((got = read(fd, buffer.data(), buffer.size())) > 0) {
      total += static_cast<std::uint64_t>(got);
      sum = crcUpdate(crc, sum, buffer.data(), static_cast<std::size_t>(got));
    }
    sums ^= sum;
    close(fd);
    if (got < 0) throw std::runtime_error("cannot read " + entry.path().string());
  }
  // The sums are printed so that the CRC work cannot be optimised away.
  std::printf("bytes %llu crc %08x\n", static_cast<unsigned long long>(total),
              static_cast<unsigned>(sums));
  return 0;
}

std::uint64_t parseSize(const std::string& text) {
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (end == text.c_str()) throw std::runtime_error("not a size: " + text);
  std::string suffix(end);
  int shift = suffix.empty()  ? 0
              : suffix == "K" ? 10
              : suffix == "M" ? 20
              : suffix == "G" ? 30
                              : -1;
  if (shift < 0) throw std::runtime_error("not a size: " + text);
  return static_cast<std::uint64_t>(value) << shift;
}

struct Arguments {
  std::map<std::string, std::string> options;
  std::vector<std::string> operands;

  std::uint64_t size(const char* name) const {
    auto found = options.find(name);
    if (found == options.end()) throw std::runtime_error(std::string("missing ") + name);
    return parseSize(found->second);
  }
  std::uint64_t size(const char* name, std::uint64_t fallback) const {
    return options.count(name) ? size(name) : fallback;
  }
};

Arguments parse(int argc, char** argv) {
  Arguments args;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--", 0) == 0) {
      if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
      args.options[arg] = argv[++i];
    } else {
      args.operands.push_back(arg);
    }
  }
  return args;
}

int usage() {
  std::fprintf(stderr,
               "usage: bench_data game --seed S --files N --bytes B --patched K "
               "--patched-bytes P RELEASE OLD\n"
               "       bench_data uniform --seed S --files N --size B RELEASE OLD\n"
               "       bench_data file --seed S --bytes B [--kind text|binary|noise] PATH\n"
               "       bench_data edit --seed S [--scatter N] [--scatter-max B] [--insert N] "
               "[--delete N] [--block-max B] [--head B] [--append B] OLD NEW\n"
               "       bench_data read [--crc | --crc-libdeflate] DIR\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string command = argv[1];
  try {
    if (command == "read" && argc == 3) return readAll(argv[2], Crc::none);
    if (command == "read" && argc == 4 && std::string(argv[2]) == "--crc") {
      return readAll(argv[3], Crc::zlib);
    }
    if (command == "read" && argc == 4 && std::string(argv[2]) == "--crc-libdeflate") {
      return readAll(argv[3], Crc::libdeflate);
    }
    Arguments args = parse(argc, argv);
    std::uint64_t seed = args.size("--seed");
    if (command == "game" && args.operands.size() == 2) {
      auto entries = planGame(seed, args.size("--files"), args.size("--bytes"),
                              args.size("--patched"), args.size("--patched-bytes"));
      writeRelease(entries, seed, args.operands[0], args.operands[1], false);
    } else if (command == "uniform" && args.operands.size() == 2) {
      auto entries = planUniform(seed, args.size("--files"), args.size("--size"));
      writeRelease(entries, seed, args.operands[0], args.operands[1], true);
    } else if (command == "file" && args.operands.size() == 1) {
      std::uint64_t bytes = args.size("--bytes");
      std::string kind = args.options.count("--kind") ? args.options["--kind"] : "mixed";
      auto one = std::find(std::begin(kKindNames), std::end(kKindNames), kind);
      if (one != std::end(kKindNames)) {
        writeOfKind(args.operands[0], bytes, mix(seed, 3, 0),
                    static_cast<Kind>(one - std::begin(kKindNames)), kReleaseTime);
      } else if (kind == "mixed") {
        writeFile(
            args.operands[0], bytes, mix(seed, 3, 0),
            [](Random& random) { return pickKind(random, 35, 30); }, kReleaseTime);
      } else {
        throw std::runtime_error("not a kind: " + kind);
      }
      std::printf("bytes %llu\n", static_cast<unsigned long long>(bytes));
    } else if (command == "edit" && args.operands.size() == 2) {
      EditPlan plan;
      plan.scatter = args.size("--scatter", 0);
      plan.scatterMax = args.size("--scatter-max", plan.scatterMax);
      plan.insert = args.size("--insert", 0);
      plan.remove = args.size("--delete", 0);
      plan.blockMax = args.size("--block-max", plan.blockMax);
      plan.head = args.size("--head", 0);
      plan.append = args.size("--append", 0);
      return editFile(seed, plan, args.operands[0], args.operands[1]);
    } else {
      return usage();
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_data: %s\n", error.what());
    return 1;
  }
  return 0;
}
