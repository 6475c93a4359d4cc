#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "base/file_ptr.h"
#include "engine/patch_apply.h"
#include "engine/patch_header.h"
#include "patch_make.h"
#include "support/temp_dir.h"
#include "xdelta3_apply.h"

namespace {

using File = FilePtr;

File openFile(const std::string& path, const char* mode) {
  File file(std::fopen(path.c_str(), mode));
  EXPECT_TRUE(file) << path;
  return file;
}

std::uint32_t zlibCrc(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// Small windows, so that the modest test files still span several of them.
PatchOptions smallWindows() {
  PatchOptions options;
  options.sourceWindow = 1u << 20;
  options.targetWindow = 64u << 10;
  return options;
}

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

struct PatchTest : ::testing::Test {
  ScopedTempDir dir;
  bool zlibForm = false;  // apply() reads patches as one zlib stream

  std::string makePatchOf(const std::string& oldData, const std::string& newData,
                          const PatchOptions& options = smallWindows()) {
    writeFile("old", oldData);
    writeFile("new", newData);
    {
      File oldFile = openFile("old", "rb"), newFile = openFile("new", "rb");
      File patch = openFile("patch", "wb");
      PatchMade made = makePatch(oldFile.get(), newFile.get(), patch.get(), options);
      EXPECT_TRUE(made.ok) << made.error;
    }
    std::string patch = readFile("patch");
    return patch;
  }

  PatchOutcome apply(const std::string& base, const std::string& patch, std::string* out,
                     std::uint64_t limit = kNoLimit, const std::atomic<bool>* stop = nullptr,
                     const BaseCache& cache = BaseCache()) {
    // Written once for many patches of the same base.
    if (!haveBase_ || base != writtenBase_) {
      writeFile("base", base);
      writtenBase_ = base;
      haveBase_ = true;
    }
    // New files rather than truncated ones: ext4 writes a truncated file
    // back to the disk when it is closed, which would make many runs slow.
    std::filesystem::remove("patch");
    std::filesystem::remove("out");
    writeFile("patch", patch);
    PatchOutcome outcome;
    {
      File baseFile = openFile("base", "rb"), patchFile = openFile("patch", "rb");
      File output = openFile("out", "wb");
      outcome = (zlibForm ? applyZlibPatch : applyPatch)(baseFile.get(), patchFile.get(),
                                                         output.get(), limit, stop, cache);
    }
    *out = readFile("out");
    EXPECT_EQ(outcome.ok, outcome.error.empty()) << outcome.error;
    return outcome;
  }

  // Applies `patch` and expects exactly `expected`, reported right.
  void expectApplies(const std::string& base, const std::string& patch, const std::string& expected,
                     const BaseCache& cache = BaseCache()) {
    std::string out;
    PatchOutcome outcome = apply(base, patch, &out, kNoLimit, nullptr, cache);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_TRUE(out == expected) << out.size() << " bytes, expected " << expected.size();
    EXPECT_EQ(outcome.size, static_cast<std::int64_t>(expected.size()));
    EXPECT_EQ(outcome.crc, zlibCrc(expected));
  }

  void expectFails(const std::string& base, const std::string& patch, const std::string& why) {
    std::string out;
    PatchOutcome outcome = apply(base, patch, &out);
    EXPECT_FALSE(outcome.ok) << why;
    EXPECT_FALSE(outcome.error.empty()) << why;
  }

 private:
  std::string writtenBase_;
  bool haveBase_ = false;
};

// A new version of `base`: rewritten stretches all over, a block inserted,
// one deleted, and more data at the end.
std::string editedVersion(const std::string& base) {
  std::string edited = base;
  for (std::size_t at = 1000; at + 600 < edited.size(); at += 97 * 1024) {
    edited.replace(at, 500, makeBytes(500, static_cast<unsigned>(at), false));
  }
  edited.insert(edited.size() / 3, makeBytes(200 * 1024, 11, true));
  edited.erase(2 * edited.size() / 3, 150 * 1024);
  edited += makeBytes(300 * 1024, 12, false);
  return edited;
}

TEST_F(PatchTest, RoundTripsEditsInsertionsDeletionsAndAppendedData) {
  const std::string base = makeBytes(3 << 20, 1, true);
  const std::string edited = editedVersion(base);
  for (bool compress : {true, false}) {
    PatchOptions options = smallWindows();
    options.compressSections = compress;
    const std::string patch = makePatchOf(base, edited, options);
    // The unchanged bulk is copied from the base, not carried in the patch.
    EXPECT_LT(patch.size(), 700u * 1024) << compress;
    if (!compress) {
      expectApplies(base, patch, edited);
      continue;
    }
    // Compressed sections are for xdelta3 alone (older updaters); the
    // updater's own decoder refuses them and takes the whole file instead.
    std::string out;
    PatchOutcome outcome = apply(base, patch, &out);
    EXPECT_FALSE(outcome.ok);
    EXPECT_NE(outcome.error.find("secondary compression"), std::string::npos) << outcome.error;
    writeFile("patch", patch);
    File baseFile = openFile("base", "rb"), patchFile = openFile("patch", "rb");
    File output = openFile("out", "wb");
    outcome =
        applyPatchWithXdelta3(baseFile.get(), patchFile.get(), output.get(), kNoLimit, nullptr);
    output.reset();
    EXPECT_TRUE(outcome.ok) << outcome.error;
    EXPECT_TRUE(readFile("out") == edited);
  }
}

std::string deflated(const std::string& data) {
  std::string out(compressBound(static_cast<uLong>(data.size())), '\0');
  uLongf size = static_cast<uLongf>(out.size());
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                      reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()),
                      Z_BEST_COMPRESSION),
            Z_OK);
  out.resize(size);
  return out;
}

TEST_F(PatchTest, TheZlibFormGivesThePlainResultAndOnlyFromOneWholeStream) {
  const std::string base = makeBytes(3 << 20, 1, true);
  const std::string edited = editedVersion(base);
  const std::string plain = makePatchOf(base, edited);
  const std::string packed = deflated(plain);
  ASSERT_LT(packed.size(), plain.size());
  zlibForm = true;
  expectApplies(base, packed, edited);

  struct Broken {
    std::string patch;
    const char* why;
  };
  std::string flipped = packed;
  flipped[packed.size() / 2] = static_cast<char>(flipped[packed.size() / 2] ^ 0x55);
  for (const Broken& broken :
       {Broken{packed.substr(0, packed.size() / 2), "truncated patch"},
        Broken{packed + '\0', "bytes after its zlib stream"}, Broken{flipped, "corrupt patch"},
        Broken{plain, "corrupt patch"}, Broken{std::string(), "truncated patch"}}) {
    std::string out;
    PatchOutcome outcome = apply(base, broken.patch, &out);
    EXPECT_FALSE(outcome.ok) << broken.why;
    EXPECT_NE(outcome.error.find(broken.why), std::string::npos) << outcome.error;
  }
}

TEST_F(PatchTest, RoundTripsEmptyIdenticalAndUnrelatedFiles) {
  const std::string data = makeBytes(500000, 2, false);
  const std::string other = makeBytes(400000, 3, true);
  const std::pair<std::string, std::string> cases[] = {{"", ""},     {"", data},    {data, ""},
                                                       {data, data}, {data, other}, {"x", "y"}};
  for (const auto& [oldData, newData] : cases) {
    SCOPED_TRACE(std::to_string(oldData.size()) + " -> " + std::to_string(newData.size()));
    expectApplies(oldData, makePatchOf(oldData, newData), newData);
  }
  // Identical files: a patch of a few bytes per window.
  EXPECT_LT(makePatchOf(data, data).size(), 1000u);
}

TEST_F(PatchTest, ReadsTheBaseOutOfOrderThroughACacheSmallerThanWhatMoved) {
  // The base's sixteen 16 KiB pieces in another order, four of them again
  // in a later window (which copies them from the base too): with two
  // cached blocks of 4 KiB, the applier must read blocks again, far apart.
  const std::string base = makeBytes(256 * 1024, 4, false);
  std::string shuffled;
  for (std::size_t piece : {9, 3, 15, 0, 7, 12, 1, 14, 5, 10, 2, 8, 13, 4, 11, 6, 3, 9, 0, 15}) {
    shuffled += base.substr(piece * 16384, 16384);
  }
  const std::string patch = makePatchOf(base, shuffled);
  EXPECT_LT(patch.size(), 4096u);  // copies, not the data
  const BaseCache tiny{4096, 2};
  expectApplies(base, patch, shuffled, tiny);
  std::string out;
  EXPECT_GT(apply(base, patch, &out, kNoLimit, nullptr, tiny).baseReads, base.size() / 4096);
}

TEST_F(PatchTest, FailsCleanlyOnCorruptTruncatedAndForeignPatches) {
  // A small patch of many windows.
  const std::string base = makeBytes(60000, 5, true);
  std::string edited = base;
  for (std::size_t at = 500; at < edited.size(); at += 7000) edited[at] ^= 0x21;
  edited.insert(30000, makeBytes(3000, 14, true) + makeBytes(1000, 15, false));
  PatchOptions options = smallWindows();
  options.targetWindow = 4096;
  const std::string patch = makePatchOf(base, edited, options);
  expectApplies(base, patch, edited);

  // Every cut, window boundaries included, is noticed.
  for (std::size_t length = 0; length < patch.size(); ++length) {
    std::string out;
    ASSERT_FALSE(apply(base, patch.substr(0, length), &out).ok) << "cut at " << length;
  }
  // Bytes flipped anywhere: the header, window headers, sections. A few
  // flips leave the result as it was (a source window announced larger than
  // the copies need); none may pass for a success with another result.
  int failures = 0, flips = 0;
  for (std::size_t at = 0; at < patch.size(); at += patch.size() / 200 + 1, ++flips) {
    std::string corrupt = patch, out;
    corrupt[at] = static_cast<char>(corrupt[at] ^ 0x5A);
    if (apply(base, corrupt, &out).ok) {
      EXPECT_TRUE(out == edited) << "flipped at " << at;
    } else {
      ++failures;
    }
  }
  EXPECT_GT(failures, flips * 9 / 10);
  expectFails(base, patch + "trailing", "trailing bytes");
  expectFails(base, makeBytes(5000, 6, false), "noise");
  expectFails(base, zlibStream(edited), "a zlib stream");
}

TEST_F(PatchTest, RefusesAWrongBase) {
  const std::string base = makeBytes(600000, 7, true);
  const std::string edited = editedVersion(base);
  const std::string patch = makePatchOf(base, edited);
  std::string sameLength = base;
  sameLength[base.size() / 2] ^= 1;
  expectFails(sameLength, patch, "one byte differs");
  expectFails(makeBytes(base.size(), 8, true), patch, "other content, same length");
  expectFails(base.substr(1), patch, "one byte shorter");
  expectFails("", patch, "no base");
}

TEST_F(PatchTest, StopsAtTheOutputLimit) {
  const std::string base = makeBytes(400000, 9, true);
  const std::string edited = editedVersion(base);
  const std::string patch = makePatchOf(base, edited);
  std::string out;
  EXPECT_TRUE(apply(base, patch, &out, edited.size()).ok);
  PatchOutcome outcome = apply(base, patch, &out, edited.size() - 1);
  EXPECT_FALSE(outcome.ok);
  // The header announces the length: nothing is written at all.
  EXPECT_EQ(out.size(), 0u);
  EXPECT_EQ(outcome.size, 0);

  // A header that understates the length is caught at the first window
  // past it, before that window is written.
  std::string understated = patch;
  const std::size_t at = understated.find("BWP1");
  ASSERT_NE(at, std::string::npos);
  understated[at + 12] = 0x10;  // the target length, little-endian: far shorter
  for (int i = 13; i < 20; ++i) understated[at + i] = 0;
  outcome = apply(base, understated, &out);
  EXPECT_FALSE(outcome.ok);
  EXPECT_LE(out.size(), 0x10u);
}

// The output as a stdio stream that raises the stop flag once `after` bytes
// have reached it.
struct StoppingSink {
  std::atomic<bool>* stop;
  std::size_t after;
  std::string written;
};

ssize_t writeAndMaybeStop(void* cookie, const char* data, std::size_t size) {
  auto* sink = static_cast<StoppingSink*>(cookie);
  sink->written.append(data, size);
  if (sink->written.size() >= sink->after) *sink->stop = true;
  return static_cast<ssize_t>(size);
}

TEST_F(PatchTest, StopsWhenAskedToAndWritesNoFurtherWindow) {
  const std::string base = makeBytes(1 << 20, 10, true);
  const std::string edited = editedVersion(base);
  const std::string patch = makePatchOf(base, edited);
  writeFile("base", base);
  writeFile("patch", patch);

  std::atomic<bool> stop{true};
  std::string out;
  PatchOutcome outcome = apply(base, patch, &out, kNoLimit, &stop);
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(out.size(), 0u);

  // Raised while the first window is written: the run ends before the next.
  stop = false;
  StoppingSink sink{&stop, 1, ""};
  cookie_io_functions_t functions{nullptr, &writeAndMaybeStop, nullptr, nullptr};
  {
    File output(fopencookie(&sink, "w", functions));
    ASSERT_TRUE(output);
    std::setvbuf(output.get(), nullptr, _IONBF, 0);
    File baseFile = openFile("base", "rb"), patchFile = openFile("patch", "rb");
    outcome = applyPatch(baseFile.get(), patchFile.get(), output.get(), kNoLimit, &stop);
  }
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.error, "stopped");
  EXPECT_EQ(sink.written.size(), smallWindows().targetWindow);
  EXPECT_EQ(sink.written, edited.substr(0, sink.written.size()));
}

// The bytes of a VCDIFF integer (RFC 3284, 2.2).
std::string vcdiffInteger(std::uint64_t value) {
  std::string out(1, static_cast<char>(value & 0x7F));
  while ((value >>= 7) != 0) out.insert(out.begin(), static_cast<char>(0x80 | (value & 0x7F)));
  return out;
}

// A VCDIFF written by hand, as another encoder could: xdelta3's application
// header `appHeader` (none if empty), then one window without a source that
// adds `data` with one ADD instruction, its data section announced as
// `dataLength` bytes.
std::string addingVcdiff(const std::string& appHeader, const std::string& data,
                         std::uint64_t dataLength) {
  std::string patch = "\xD6\xC3\xC4";
  patch += '\0';
  if (appHeader.empty()) {
    patch += '\0';
  } else {
    patch += '\x04';  // VCD_APPHEADER
    patch += vcdiffInteger(appHeader.size()) + appHeader;
  }
  const std::string instructions = '\x01' + vcdiffInteger(data.size());  // ADD, size follows
  const std::string lengths = vcdiffInteger(data.size()) + '\0' + vcdiffInteger(dataLength) +
                              vcdiffInteger(instructions.size()) + vcdiffInteger(0);
  patch += '\0';  // no source window, no checksum
  patch += vcdiffInteger(lengths.size() + dataLength + instructions.size()) + lengths;
  return patch + data + instructions;
}

TEST_F(PatchTest, TakesAnyVcdiffWithTheHeaderAndNoneWithout) {
  const std::string data = "made by another encoder";
  PatchHeader header;
  header.targetLength = data.size();
  header.targetCrc = zlibCrc(data);
  expectApplies("", addingVcdiff(encodePatchHeader(header), data, data.size()), data);
  expectFails("", addingVcdiff("", data, data.size()), "no header");
  std::string foreign = encodePatchHeader(header);
  foreign[0] = 'X';
  expectFails("", addingVcdiff(foreign, data, data.size()), "another header");
  header.targetCrc ^= 1;
  expectFails("", addingVcdiff(encodePatchHeader(header), data, data.size()), "another CRC");
}

TEST_F(PatchTest, RefusesAPatchThatWantsMoreMemoryThanItMayHave) {
  // A data section announced as 1 GiB (within xdelta3's own limits) and
  // followed by far less: the decoder would have to hold it whole.
  PatchHeader header;
  header.targetLength = 300000;
  std::string out;
  PatchOutcome outcome = apply(
      "", addingVcdiff(encodePatchHeader(header), makeBytes(300000, 13, false), 1u << 30), &out);
  EXPECT_FALSE(outcome.ok);
  EXPECT_NE(outcome.error.find("memory"), std::string::npos) << outcome.error;
  EXPECT_EQ(out.size(), 0u);
}

}  // namespace
