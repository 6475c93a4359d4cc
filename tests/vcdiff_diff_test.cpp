// The updater's own VCDIFF decoder against xdelta3's, on patches made by the
// publisher's encoder from thousands of generated pairs of files: both must
// give the new file, byte for byte. Also what the encoder writes, window by
// window, which is what the decoder was made to read.

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "engine/patch_apply.h"
#include "engine/vcdiff_decoder.h"
#include "patch_make.h"
#include "support/temp_dir.h"
#include "xdelta3_apply.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File openFile(const char* path, const char* mode) {
  // A new file rather than a truncated one: ext4 puts a truncated file on
  // the disk when it is closed, which would make thousands of runs slow.
  if (mode[0] == 'w') std::remove(path);
  File file(std::fopen(path, mode));
  EXPECT_TRUE(file) << path;
  return file;
}

using Random = std::mt19937;

std::size_t below(Random& random, std::size_t bound) {
  return bound == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
}

// Bytes of one of the kinds the encoder treats differently: noise (added
// as is), text (copies from earlier in the window), a short period
// repeated (overlapping copies of the window itself) and runs of one byte.
std::string content(Random& random, std::size_t size) {
  std::string out;
  out.reserve(size);
  while (out.size() < size) {
    const std::size_t piece = std::min(size - out.size(), 1 + below(random, 3000));
    switch (below(random, 4)) {
      case 0:
        for (std::size_t i = 0; i < piece; ++i) out += static_cast<char>(random());
        break;
      case 1:
        out += makeBytes(piece, static_cast<unsigned>(random()), true);
        break;
      case 2: {
        const std::string period = content(random, 1 + below(random, 40));
        while (out.size() < size && piece > 0) out += period.substr(0, size - out.size());
        break;
      }
      default:
        out.append(piece, static_cast<char>(random()));
    }
  }
  out.resize(size);
  return out;
}

// A new version of `base`: a few random edits, inserts, deletes, moves,
// repeats and appends, or something else entirely.
std::string newVersion(Random& random, const std::string& base) {
  if (below(random, 12) == 0) return content(random, below(random, 3) == 0 ? below(random, 2) : below(random, 20000));
  std::string out = base;
  const std::size_t changes = 1 + below(random, 5);
  for (std::size_t i = 0; i < changes; ++i) {
    const std::size_t at = below(random, out.size() + 1);
    const std::size_t length = std::min(out.size() - at, 1 + below(random, 2000));
    switch (below(random, 6)) {
      case 0:
        out.replace(at, length, content(random, length));
        break;
      case 1:
        out.insert(at, content(random, 1 + below(random, 3000)));
        break;
      case 2:
        out.erase(at, length);
        break;
      case 3: {
        const std::string moved = out.substr(at, length);
        out.erase(at, length);
        out.insert(below(random, out.size() + 1), moved);
        break;
      }
      case 4:
        out.insert(below(random, out.size() + 1), out.substr(at, length));
        break;
      default:
        out += content(random, 1 + below(random, 5000));
    }
  }
  return out;
}

struct WindowCounts {
  int windows = 0, withSource = 0, withChecksum = 0;
};

// Reads the windows' headers of the patch in "patch" as the decoder does.
void countWindows(WindowCounts* counts) {
  File patch = openFile("patch", "rb");
  std::string appHeader, why;
  ASSERT_EQ(readVcdiffHeader(patch.get(), 24, &appHeader), "");
  VcdiffWindow window;
  WindowStart start;
  while ((start = readWindowHeader(patch.get(), &window, &why)) == WindowStart::window) {
    ++counts->windows;
    counts->withSource += window.hasSource;
    counts->withChecksum += window.hasChecksum;
    ASSERT_EQ(std::fseek(patch.get(), static_cast<long>(window.sectionsLength()), SEEK_CUR), 0);
  }
  ASSERT_EQ(start, WindowStart::end) << why;
}

struct Applied {
  PatchOutcome outcome;
  std::string bytes;
};

template <typename Apply>
Applied applyWith(Apply apply, const BaseCache& cache) {
  Applied applied;
  {
    File base = openFile("old", "rb"), patch = openFile("patch", "rb");
    File out = openFile("out", "wb");
    applied.outcome = apply(base.get(), patch.get(), out.get(), UINT64_MAX, nullptr, cache);
  }
  applied.bytes = readFile("out");
  return applied;
}

TEST(VcdiffDifferentialTest, TheUpdatersDecoderAndXdelta3AgreeOnThousandsOfPatches) {
  ScopedTempDir dir;
  Random random(20261207);
  WindowCounts counts;
  std::size_t largeBases = 0;
  constexpr int kPairs = 2500;
  for (int pair = 0; pair < kPairs; ++pair) {
    // Mostly small files over windows of a few KiB; some empty or of one
    // byte; a few bases over the encoder's 1 MiB source window, so that
    // windows copy from segments further in.
    const std::size_t kind = below(random, 100);
    const std::size_t baseSize = kind < 5 ? below(random, 2)
                                 : kind < 97 ? below(random, 40000)
                                             : (1u << 20) + below(random, 1u << 20);
    largeBases += baseSize > (1u << 20);
    const std::string base = content(random, baseSize);
    const std::string target = newVersion(random, base);
    SCOPED_TRACE("pair " + std::to_string(pair) + ": " + std::to_string(base.size()) + " -> " +
                 std::to_string(target.size()) + " bytes");
    PatchOptions options;
    options.sourceWindow = 1u << 20;
    options.targetWindow = static_cast<std::uint32_t>(256u << below(random, 8));
    for (const char* name : {"old", "new"}) std::remove(name);
    writeFile("old", base);
    writeFile("new", target);
    {
      File oldFile = openFile("old", "rb"), newFile = openFile("new", "rb");
      File patch = openFile("patch", "wb");
      PatchMade made = makePatch(oldFile.get(), newFile.get(), patch.get(), options);
      ASSERT_TRUE(made.ok) << made.error;
    }
    countWindows(&counts);
    // Caches of one block up to many, the blocks as small as allowed.
    const BaseCache cache{512u << below(random, 6), 1 + static_cast<int>(below(random, 4))};
    const Applied ours = applyWith(applyPatch, cache);
    const Applied theirs = applyWith(applyPatchWithXdelta3, BaseCache());
    ASSERT_TRUE(ours.outcome.ok) << ours.outcome.error;
    ASSERT_TRUE(theirs.outcome.ok) << theirs.outcome.error;
    ASSERT_TRUE(ours.bytes == target);
    ASSERT_TRUE(theirs.bytes == target);
    ASSERT_EQ(ours.outcome.crc, theirs.outcome.crc);
  }
  EXPECT_GT(largeBases, 0u);
  // Every window carries its Adler-32; windows come with a segment of the
  // base and without one (nothing to copy from it).
  EXPECT_EQ(counts.withChecksum, counts.windows);
  EXPECT_GT(counts.withSource, 0);
  EXPECT_LT(counts.withSource, counts.windows);
}

}  // namespace
