// How brightwick-pack reaches into the output folder (OutputFolder: no link
// followed, only regular files opened), and what a signed publish believes
// of records it did not write itself: an older publisher's, or a packed
// file with something after its stream.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>

#include "hash/hex.h"
#include "output_folder.h"
#include "pack.h"
#include "record_proof.h"
#include "reuse_record.h"
#include "support/signed_folder.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

struct PackFolderTest : ::testing::Test {
  ScopedTempDir dir;
  fs::path out = dir.path() / "out";
  fs::path outside = dir.path() / "outside";

  void SetUp() override {
    writeFile(out / "plain/a.pak", "served");
    writeFile(outside / "victim.txt", "the studio's");
    writeFile(outside / "inner/deep.txt", "deeper");
    fs::create_directory_symlink(outside, out / "linked");
    fs::create_symlink(outside / "victim.txt", out / "file-link");
    ASSERT_EQ(mkfifo((out / "fifo").c_str(), 0600), 0);
  }
};

TEST_F(PackFolderTest, NoCallGoesThroughALinkOrOpensAnythingButARegularFile) {
  OutputFolder folder(out);
  const Tree outsideBefore = treeOf(outside);
  EXPECT_EQ(folder.kind("plain/a.pak"), EntryKind::file);
  EXPECT_EQ(folder.kind("plain"), EntryKind::folder);
  EXPECT_EQ(folder.kind("linked"), EntryKind::link);
  EXPECT_EQ(folder.kind("linked/victim.txt"), EntryKind::blocked);
  EXPECT_EQ(folder.kind("plain/a.pak/x"), EntryKind::blocked);
  EXPECT_EQ(folder.kind("missing/x"), EntryKind::missing);
  EXPECT_EQ(folder.kind("fifo"), EntryKind::other);

  // Reading: a regular file only; a FIFO is refused without blocking.
  EXPECT_NE(folder.openRead("plain/a.pak"), nullptr);
  for (const char* name : {"linked/victim.txt", "file-link", "fifo", "plain", "../outside/victim.txt"}) {
    EXPECT_EQ(folder.openRead(name), nullptr) << name;
  }
  EXPECT_NE(whyNot(folder, "linked/victim.txt").find("symbolic link"), std::string::npos);

  // Writing: nothing lands outside, nothing is replaced through a link.
  EXPECT_EQ(folder.create("linked/planted.txt"), nullptr);
  EXPECT_EQ(folder.create("plain/a.pak"), nullptr);  // never over what is there
  EXPECT_FALSE(folder.makeFolder("linked/new"));
  EXPECT_FALSE(folder.replace("plain/a.pak", "linked/victim.txt"));
  EXPECT_FALSE(folder.replace("plain/a.pak", "file-link"));
  EXPECT_FALSE(folder.replace("file-link", "plain/b.pak"));
  EXPECT_FALSE(folder.hardLink("file-link", "plain/copy"));
  EXPECT_FALSE(folder.hardLink("linked/victim.txt", "plain/copy"));
  EXPECT_FALSE(folder.removeFile("linked/victim.txt"));
  EXPECT_FALSE(folder.removeFolder("linked"));
  EXPECT_FALSE(folder.removeTree("linked"));
  EXPECT_EQ(treeOf(outside), outsideBefore);

  // A link is removed itself, never what it leads to; a tree holding links
  // goes with them, and what they lead to stays.
  writeFile(out / "tree/sub/x", "x");
  fs::create_directory_symlink(outside, out / "tree/sub/away");
  fs::create_symlink(outside / "victim.txt", out / "tree/away-file");
  std::vector<FolderEntry> listed = folder.list("tree");
  ASSERT_EQ(listed.size(), 2u);
  for (const FolderEntry& entry : listed) {
    EXPECT_EQ(entry.kind, entry.name == "sub" ? EntryKind::folder : EntryKind::link) << entry.name;
  }
  EXPECT_TRUE(folder.removeTree("tree"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(out / "tree")));
  EXPECT_TRUE(folder.removeFile("file-link"));
  EXPECT_EQ(treeOf(outside), outsideBefore);

  // What works inside: a new file, a hard link to it, a replace that keeps
  // the replaced file's permissions, a read-only file left alone.
  writeServed(folder, "plain/new", "new");
  EXPECT_TRUE(folder.hardLink("plain/new", "plain/second"));
  FileIdentity one, two;
  ASSERT_TRUE(folder.identity("plain/new", &one) && folder.identity("plain/second", &two));
  EXPECT_EQ(one, two);
  chmod((out / "plain/a.pak").c_str(), 0640);
  EXPECT_TRUE(folder.replace("plain/second", "plain/a.pak"));
  EXPECT_EQ(readFile(out / "plain/a.pak"), "new");
  struct stat info;
  ASSERT_EQ(stat((out / "plain/a.pak").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  if (geteuid() != 0) {
    chmod((out / "plain/a.pak").c_str(), 0444);
    writeServed(folder, "plain/third", "third");
    EXPECT_FALSE(folder.replace("plain/third", "plain/a.pak"));
    EXPECT_EQ(readFile(out / "plain/a.pak"), "new");
  }
}

// Sums of what inflating `packed` showed, or "not whole".
std::string inflatedSums(const std::string& packed, std::uint64_t most) {
  ScopedTempDir dir;
  writeFile(dir.path() / "packed", packed);
  FilePtr in(std::fopen((dir.path() / "packed").c_str(), "rb"));
  ProgressEngine engine;
  InflatedFile inflated = inflateAndSum(in.get(), nullptr, most, engine);
  if (!inflated.whole) return "not whole";
  return std::to_string(inflated.sums.size) + " " + std::to_string(inflated.sums.packedSize) + " " +
         toHex(inflated.sums.sha) + " " + toHex(inflated.sums.packedSha);
}

TEST(PackInflateProof, OnlyACompleteStreamWithinItsBoundAndNothingAfterItIsWhole) {
  std::string data = makeBytes(50000, 3, true);
  std::string packed = zlibStream(data);
  EXPECT_EQ(inflatedSums(packed, data.size()),
            std::to_string(data.size()) + " " + std::to_string(packed.size()) + " " +
                sha256Text(data) + " " + sha256Text(packed));
  EXPECT_EQ(inflatedSums(packed + "trailing", data.size()), "not whole");
  EXPECT_EQ(inflatedSums(packed.substr(0, packed.size() - 1), data.size()), "not whole");
  EXPECT_EQ(inflatedSums(packed, data.size() - 1), "not whole");
  EXPECT_EQ(inflatedSums("not a zlib stream", data.size()), "not whole");
}

TEST(PackRecordProof, ASignedPublishBelievesAnOlderPublishersRecordsOnlyByTheirContent) {
  ASSERT_TRUE(initCrypto());
  ScopedTempDir dir;
  fs::path release = dir.path() / "release", out = dir.path() / "out";
  writeFile(release / "a.pak", makeBytes(30000, 5, true));
  writeFile(release / "b.pak", makeBytes(30000, 6, false));
  writeFile(release / "c.txt", "text");
  PublishOptions signedOptions;
  signedOptions.signingKey = copyTestKey("old", dir.path() / "keys");
  ASSERT_TRUE(publish(release, out, signedOptions).ok);

  // An older signed publisher wrote no MAC; one packed file has bytes after
  // its stream, which the updater would never read, and its record agrees.
  std::string records = readFile(out / "update.d/records");
  std::string stripped;
  for (std::size_t at = 0, end; at < records.size(); at = end + 1) {
    end = records.find('\n', at);
    std::string line = records.substr(at, end - at);
    if (line.rfind("mac ", 0) != 0) stripped += line + "\n";
  }
  writeFile(out / "update.d/records", stripped);
  std::string padded = readFile(out / "b.pak") + "padding";
  writeFile(out / "b.pak", padded);
  std::string warning;
  PackedRecords edited = parseRecords(stripped, &warning);
  edited["b.pak"].packedSize = static_cast<std::int32_t>(padded.size());
  edited["b.pak"].packedCrc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(padded.data()), static_cast<uInt>(padded.size())));
  writeFile(out / "update.d/records", formatRecords(edited));

  PublishResult upgraded = publish(release, out, signedOptions);
  ASSERT_TRUE(upgraded.ok);
  EXPECT_EQ(upgraded.reused, (std::vector<std::string>{"a.pak", "c.txt"}));
  EXPECT_EQ(upgraded.packed, std::vector<std::string>{"b.pak"});
  RecordKey key(*testKey("old"));
  PackedRecords sealed = parseRecords(readFile(out / "update.d/records"), &warning);
  ASSERT_EQ(sealed.size(), 3u);
  for (const auto& [name, record] : sealed) EXPECT_TRUE(key.holds(name, record)) << name;

  // An unsigned publish keeps the MACs of what it leaves as it was, and
  // drops that of what it changes.
  writeFile(release / "c.txt", "text 2");
  ASSERT_TRUE(publish(release, out, PublishOptions()).ok);
  sealed = parseRecords(readFile(out / "update.d/records"), &warning);
  EXPECT_TRUE(key.holds("a.pak", sealed["a.pak"]));
  EXPECT_FALSE(sealed["c.txt"].hasMac);
  PublishResult back = publish(release, out, signedOptions);
  ASSERT_TRUE(back.ok);
  EXPECT_EQ(back.reused.size(), 3u);
  EXPECT_TRUE(back.packed.empty());
}

}  // namespace
