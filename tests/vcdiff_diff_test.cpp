// The updater's own VCDIFF decoder against xdelta3's, on patches made by the
// publisher's encoder from thousands of generated pairs of files: both must
// give the new file, byte for byte. Also what the encoder writes, window by
// window, which is what the decoder was made to read.

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "engine/patch_apply.h"
#include "engine/patch_header.h"
#include "engine/patch_stream.h"
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
  if (below(random, 12) == 0)
    return content(random, below(random, 3) == 0 ? below(random, 2) : below(random, 20000));
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
  // Plain: the stream reads the file itself, so seeking past the sections works.
  PatchStream stream(patch.get(), PatchForm::plain);
  std::string appHeader, why;
  ASSERT_EQ(readVcdiffHeader(stream, 24, &appHeader), "");
  VcdiffWindow window;
  WindowStart start;
  while ((start = readWindowHeader(stream, &window, &why)) == WindowStart::window) {
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
    const std::size_t baseSize = kind < 5    ? below(random, 2)
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

// A VCDIFF integer (RFC 3284, section 2).
std::string integer(std::uint64_t value) {
  std::string out(1, static_cast<char>(value & 0x7F));
  while ((value >>= 7) != 0) out.insert(out.begin(), static_cast<char>(0x80 | (value & 0x7F)));
  return out;
}

std::uint32_t zlibCrc(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// One window written by hand: `instructions` are code-table indexes with
// their sizes; with a source segment unless `sourceLength` is negative; an
// Adler-32 of `target` (off by one if `badChecksum`).
std::string window(long long sourceLength, std::uint64_t sourcePosition, const std::string& target,
                   const std::string& data, const std::string& instructions,
                   const std::string& addresses, bool badChecksum = false) {
  std::string out(1, static_cast<char>(sourceLength < 0 ? 0x04 : 0x05));
  if (sourceLength >= 0)
    out += integer(static_cast<std::uint64_t>(sourceLength)) + integer(sourcePosition);
  const std::uint32_t sum =
      adler32(1, reinterpret_cast<const Bytef*>(target.data()), static_cast<uInt>(target.size())) +
      badChecksum;
  std::string body = integer(target.size()) + '\0' + integer(data.size()) +
                     integer(instructions.size()) + integer(addresses.size());
  for (int shift = 24; shift >= 0; shift -= 8) body += static_cast<char>(sum >> shift & 0xFF);
  body += data + instructions + addresses;
  return out + integer(body.size()) + body;
}

// The VCDIFF header with the application header for `base` and `target`.
std::string patchHeader(const std::string& base, std::uint64_t targetLength, std::uint32_t crc) {
  PatchHeader header{base.size(), targetLength, crc};
  const std::string app = encodePatchHeader(header);
  return std::string("\xD6\xC3\xC4\x00\x04", 5) + integer(app.size()) + app;
}

struct HandMadeTest : ::testing::Test {
  ScopedTempDir dir;
  std::string base = "0123456789abcdef";

  template <typename Apply>
  Applied run(Apply apply, const std::string& patch) {
    for (const char* name : {"old", "patch"}) std::remove(name);
    writeFile("old", base);
    writeFile("patch", patch);
    return applyWith(apply, BaseCache{512, 1});
  }

  // Expects the updater to refuse `patch` with `reason` in its error,
  // having written nothing.
  void expectRefused(const std::string& patch, const std::string& reason) {
    const Applied applied = run(applyPatch, patch);
    EXPECT_FALSE(applied.outcome.ok) << reason;
    EXPECT_NE(applied.outcome.error.find(reason), std::string::npos) << applied.outcome.error;
    EXPECT_EQ(applied.bytes, "") << reason;
  }

  // A one-window patch from `base` to `target`.
  std::string onePatch(const std::string& target, const std::string& windowBytes) {
    return patchHeader(base, target.size(), zlibCrc(target)) + windowBytes;
  }
};

// Codes of the default table: COPY with its size in the instructions, by
// address mode; ADD and RUN likewise.
char copyCode(int mode) {
  return static_cast<char>(19 + 16 * mode);
}
constexpr char kAddCode = 1, kRunCode = 0;

TEST_F(HandMadeTest, EveryAddressModeAndOverlappingCopiesDecodeAsXdelta3Does) {
  const std::string added = makeBytes(600, 1, false);
  std::string instructions = kAddCode + integer(600);
  std::string addresses, expected = added;
  auto copy = [&](int mode, std::string address, const std::string& bytes) {
    instructions += copyCode(mode) + integer(bytes.size());
    addresses += address;
    expected += bytes;
  };
  // Positions count the 16 bytes of the source segment first.
  copy(0, integer(2), "2345");                        // VCD_SELF
  copy(1, integer(16 + 604 - 8), "89ab");             // VCD_HERE
  copy(2, integer(1), "3456");                        // near[0] = 2, plus 1
  copy(3, integer(4), "cdef");                        // near[1] = 8, plus 4
  copy(4, integer(0), "3456");                        // near[2] = 3
  copy(5, integer(0), "cdef");                        // near[3] = 12
  copy(6, std::string(1, 2), "2345");                 // same[2]
  copy(0, integer(16 + 270), added.substr(270, 4));   // from the window itself
  copy(7, std::string(1, 30), added.substr(270, 4));  // same[256 + 30] = 286
  copy(0, integer(16 + 500), added.substr(500, 4));
  copy(8, std::string(1, 4), added.substr(500, 4));  // same[512 + 4] = 516
  // Overlapping: the last byte ten times, then the last three bytes over.
  copy(1, integer(1), std::string(10, added[503]));
  const std::string three = expected.substr(expected.size() - 3);
  copy(1, integer(3), three + three + three + three.substr(0, 2));
  instructions += kRunCode + integer(5);
  std::string data = added + 'z';
  expected += "zzzzz";
  // Paired codes: ADD 1 with COPY 4 (VCD_SELF), COPY 4 (VCD_SELF) with ADD 1.
  instructions += static_cast<char>(163);
  data += 'Q';
  addresses += integer(0);
  instructions += static_cast<char>(247);
  addresses += integer(4);
  data += 'R';
  expected +=
      "Q0123"
      "4567R";

  const std::string patch =
      onePatch(expected, window(16, 0, expected, data, instructions, addresses));
  for (const Applied& applied : {run(applyPatch, patch), run(applyPatchWithXdelta3, patch)}) {
    EXPECT_TRUE(applied.outcome.ok) << applied.outcome.error;
    EXPECT_TRUE(applied.bytes == expected);
  }
}

TEST_F(HandMadeTest, RefusesWhatThePublisherDoesNotWriteAndWhatDoesNotAddUp) {
  const std::string target =
      "2345"
      "89ab";
  const std::string copies = copyCode(0) + integer(4) + copyCode(0) + integer(4);
  const std::string good = window(16, 0, target, "", copies, integer(2) + integer(8));
  const std::string patch = onePatch(target, good);
  ASSERT_TRUE(run(applyPatch, patch).outcome.ok);

  std::string edited = patch;
  edited[4] |= 0x01;
  expectRefused(edited, "secondary compression");
  edited = patch;
  edited[4] |= 0x02;
  expectRefused(edited, "custom code table");
  edited = patch;
  edited[patch.size() - good.size()] |= 0x02;
  expectRefused(edited, "VCD_TARGET");
  // Windows that would need more than the decoder may hold, refused before
  // their sections are read (the patch holds none of them).
  const std::string huge = patchHeader(base, 1u << 30, 0);
  auto declared = [](std::uint64_t targetLength, std::uint64_t dataLength) {
    const std::string header =
        integer(targetLength) + '\0' + integer(dataLength) + integer(1) + integer(0);
    return '\0' + integer(header.size() + dataLength + 1) + header;
  };
  expectRefused(huge + declared(17u << 20, 0), "too much memory");
  expectRefused(huge + declared(16u << 20, 30u << 20), "too much memory");
  // Addresses: before the start, not decoded yet, an empty cache slot, a
  // near-cache sum that overflows, across the source segment's end.
  const std::string one = "2345";
  expectRefused(onePatch(one, window(16, 0, one, "", copyCode(1) + integer(4), integer(17))),
                "before the start");
  expectRefused(onePatch(one, window(16, 0, one, "", copyCode(0) + integer(4), integer(16))),
                "not decoded yet");
  expectRefused(onePatch(one, window(-1, 0, one, "", copyCode(6) + integer(4), std::string(1, 0))),
                "not decoded yet");
  expectRefused(onePatch(target, window(16, 0, target, "",
                                        copyCode(0) + integer(4) + copyCode(2) + integer(4),
                                        integer(2) + integer(UINT64_MAX))),
                "too large");
  expectRefused(onePatch(one, window(16, 0, one, "", copyCode(0) + integer(4), integer(14))),
                "past the source segment");
  expectRefused(onePatch(one, window(16, 1, one, "", copyCode(0) + integer(4), integer(2))),
                "beyond the base's end");
  // Sections that do not match the instructions.
  expectRefused(onePatch(one, window(16, 0, one, "", copyCode(0) + integer(4), integer(2) + 'x')),
                "unused bytes");
  expectRefused(onePatch(one, window(16, 0, one, "", kAddCode + integer(4), "")), "past its data");
  expectRefused(onePatch(one, good), "more output");
  // A wrong Adler-32, and the same window's right one against another base.
  expectRefused(onePatch(target, window(16, 0, target, "", copies, integer(2) + integer(8), true)),
                "Adler-32");
  base[3] = 'X';
  expectRefused(patch, "Adler-32");
  base[3] = '3';
  // Cut anywhere: in the header, a window's header or its sections.
  for (std::size_t length :
       {std::size_t{3}, std::size_t{20}, patch.size() - good.size() + 3, patch.size() - 1}) {
    expectRefused(patch.substr(0, length), "truncated");
  }
  // A window whose lengths do not add up to its size.
  std::string longer = patch;
  longer[patch.size() - good.size() + 3] += 1;
  expectRefused(longer, "add up");
}

}  // namespace
