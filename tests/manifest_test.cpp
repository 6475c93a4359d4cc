#include <gtest/gtest.h>

#include <sstream>

#include "log/printable.h"
#include "update/bundle_index.h"
#include "update/manifest.h"

namespace {

std::vector<std::string> lines(const std::string& bytes) {
  std::istringstream in(bytes);
  std::vector<std::string> out;
  std::string line;
  while (readManifestLine(in, line)) out.push_back(line);
  return out;
}

using Lines = std::vector<std::string>;

TEST(ManifestText, LineEndsAndTheEndOfFileByte) {
  EXPECT_EQ(lines("a,1,2,3\nb,4,5,6\n"), (Lines{"a,1,2,3", "b,4,5,6"}));
  // CR LF reads exactly as LF; a last line without a break still counts.
  EXPECT_EQ(lines("a,1,2,3\r\nb,4,5,6"), (Lines{"a,1,2,3", "b,4,5,6"}));
  // Only the one CR before the LF goes; a CR elsewhere is data.
  EXPECT_EQ(lines("a\r\r\nb\rc\n"), (Lines{"a\r", "b\rc"}));
  EXPECT_EQ(lines("x\r"), (Lines{"x\r"}));
  // 0x1A ends the file, inside a line or at the start of one.
  EXPECT_EQ(lines("a,1,2,3\nb,4\x1a,5,6\nc,7,8,9\n"), (Lines{"a,1,2,3", "b,4"}));
  EXPECT_EQ(lines("a\n\x1a\nb\n"), (Lines{"a", ""}));
  EXPECT_EQ(lines("\n\n"), (Lines{"", ""}));
  EXPECT_EQ(lines(""), Lines{});
  // A NUL byte is data, not an end.
  EXPECT_EQ(lines(std::string("a\0b\n", 4)), (Lines{std::string("a\0b", 3)}));
}

TEST(ManifestText, HugeLinesAreReadWhole) {
  std::string name(1 << 20, 'n');
  EXPECT_EQ(lines(name + ",1,2,3\nb,1,2,3\n"), (Lines{name + ",1,2,3", "b,1,2,3"}));
}

TEST(ManifestFields, SplitAtEveryCommaWithoutTrimming) {
  EXPECT_EQ(splitManifestLine("a,1,2,3"), (Lines{"a", "1", "2", "3"}));
  EXPECT_EQ(splitManifestLine(" a b , 1,2 ,3 "), (Lines{" a b ", " 1", "2 ", "3 "}));
  EXPECT_EQ(splitManifestLine("a,1,2,3,4,5"), (Lines{"a", "1", "2", "3"}));
  EXPECT_EQ(splitManifestLine("a,1,2,3,"), (Lines{"a", "1", "2", "3"}));
  EXPECT_EQ(splitManifestLine(",,,"), (Lines{"", "", "", ""}));
  EXPECT_EQ(splitManifestLine("a,1"), (Lines{"a", "1"}));
  EXPECT_EQ(splitManifestLine("\"a,b\",1"), (Lines{"\"a", "b\"", "1"}));
  // A line of a million commas is split in linear time and bounded memory.
  EXPECT_EQ(splitManifestLine(std::string(1000000, ',')).size(), 4u);
}

TEST(ManifestNumbers, ReadAsStrtolOnA32BitLong) {
  struct Case {
    const char* text;
    std::int32_t value;
  } cases[] = {
      {"123", 123},
      {"  +42", 42},
      {"\t\n\v\f\r 7", 7},
      {"-17", -17},
      {"12abc", 12},
      {"1 2", 1},
      {"", 0},
      {"abc", 0},
      {"+", 0},
      {"-", 0},
      {"--5", 0},
      {"0x1F", 0},
      {"0017", 17},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"4294967295", INT32_MAX},
      {"99999999999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"-99999999999999999999999999", INT32_MIN},
      {"-1", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(readLong32(c.text), c.value) << '"' << c.text << '"';
}

TEST(ManifestNames, OnlyPlainRelativeNamesInsideTheGameFolder) {
  for (const char* good :
       {"tdx.exe", "data/map 1.pak", "data\\sound\\a.wav", "a/./b", "a..b", ".hidden", "x.",
        "update.dat.bak", "temporary", "NULL.txt", "COM0", "console.dat"}) {
    EXPECT_TRUE(isSafeName(good)) << good;
  }
  const std::string bad[] = {"",
                             "../x",
                             "..\\x",
                             "..",
                             "a/../../x",
                             "a\\..\\x",
                             "a/..",
                             "/x",
                             "\\x",
                             "\\\\host\\share\\x",
                             "C:\\x",
                             "C:x",
                             "c:/x",
                             "file.txt:stream",
                             "a/.. /x",
                             "a/.../x",
                             "dir/",
                             "x\ny",
                             "x\ty",
                             std::string("x\0y", 3),
                             "x\x7fy",
                             "nul",
                             "data/CON.txt",
                             "com1",
                             "LPT9.log",
                             "update.dat",
                             "UPDATE.DAT",
                             "temp",
                             "Temp",
                             "temp.download",
                             std::string(kMaxNameLength + 1, 'a'),
                             std::string(1 << 20, 'a')};
  for (const std::string& name : bad) EXPECT_FALSE(isSafeName(name)) << name.substr(0, 40);
  EXPECT_TRUE(isSafeName(std::string(kMaxNameLength, 'a')));
}

TEST(ManifestNames, TheUpdatersOwnFilesAndTheFolderAreRefusedInEverySpelling) {
  // Each reaches the manifest or a scratch file, which the run would then
  // overwrite or delete under itself.
  for (const char* own : {"./temp", ".//temp", "temp.", "temp ", "TEMP. .", "./update.dat",
                          "update.dat.", ".\\temp.download", "./Temp.Download "}) {
    EXPECT_FALSE(isSafeName(own)) << own;
  }
  // Nor is the game folder itself a file, and a blank component names no
  // folder on Windows.
  for (const char* folder : {".", "./.", ".//.", " ", "./ ", " /x", "a/  /b"}) {
    EXPECT_FALSE(isSafeName(folder)) << folder;
  }
  // The files of the lock, the signature state, resumed transfers and the
  // publisher's folder on the server, likewise.
  for (const char* own : {"update.lock", "Update.State", "temp.partial", "./temp.partial.info",
                          "update.dat.sig", "UPDATE.PATCHES", "update.d/x", "Update.D./p/1",
                          "temp.ahead.0", "./Temp.Ahead.17.", "temp.ahead.99999"}) {
    EXPECT_FALSE(isSafeName(own)) << own;
  }
  for (const char* other :
       {"temp/x", "x/temp", "./tempo", "temp.d", "./update.dat.old", "x/update.d/y", "update.dx/y",
        "x/update.lock", "temp.ahead.x", "temp.ahead.1a", "x/temp.ahead.1"}) {
    EXPECT_TRUE(isSafeName(other)) << other;
  }
}

TEST(ManifestLines, ClassifiedBeforeAnythingIsTouched) {
  std::vector<std::string> fields;
  EXPECT_EQ(parseManifestLine("", fields), LineKind::empty);
  EXPECT_EQ(parseManifestLine("a,1,2", fields), LineKind::malformed);
  EXPECT_EQ(parseManifestLine("tdx.exe", fields), LineKind::malformed);
  EXPECT_EQ(parseManifestLine(",1,2,3", fields), LineKind::malformed);
  EXPECT_EQ(parseManifestLine("../x,1,2,3", fields), LineKind::unsafeName);
  EXPECT_EQ(fields[0], "../x");
  EXPECT_EQ(parseManifestLine("a b,1,2,3,extra", fields), LineKind::entry);
  EXPECT_EQ(fields, (Lines{"a b", "1", "2", "3"}));
}

TEST(ManifestUrls, EncodeOnlyWhatAUrlPathCannotCarry) {
  EXPECT_EQ(urlPathOf("data/maps/level_1-a.pak"), "data/maps/level_1-a.pak");
  EXPECT_EQ(urlPathOf("data\\x.pak"), "data\\x.pak");
  EXPECT_EQ(urlPathOf("my map#2?.pak"), "my%20map%232%3F.pak");
  EXPECT_EQ(urlPathOf("100%"), "100%25");
  EXPECT_EQ(urlPathOf("caf\xe9 \"q\"<>"), "caf%E9%20%22q%22%3C%3E");
}

TEST(ManifestLog, HostileTextIsShortenedAndDefanged) {
  EXPECT_EQ(printableForLog("plain name.pak"), "plain name.pak");
  EXPECT_EQ(printableForLog("a\r\nb\x01"), "a??b?");
  std::string shown = printableForLog(std::string(1 << 20, 'x'));
  EXPECT_EQ(shown.size(), 203u);
  EXPECT_EQ(shown.substr(200), "...");
}

// The bundle index is signed, but a signature only says who wrote it: what
// the updater asks a server for must still stay inside the bundle, below
// update.d/bundles/, for a name it would install.
TEST(BundleIndexText, KeepsOnlyMembersInsideTheirBundle) {
  const std::string bundle = "bundle update.d/bundles/" + std::string(64, 'a') + ".bundle ";
  std::istringstream in("brightwick-bundles 1\n" + bundle + "9000\n" +
                        "member 0 4000 5a0c9e11 maps/a b.txt\n"
                        "member 4000 5000 0badf00d maps/c.txt\n"
                        "member 8999 2 00000000 past.end\n"
                        "member 0 1 00000000 update.dat\n"
                        "member 9223372036854775808 0 00000000 huge\n"
                        "member 0 1 0BADF00D upper.crc\n" +
                        "bundle update.d/../" + std::string(64, 'a') + ".bundle 10\n" +
                        "member 0 1 00000000 outside\n" + bundle + "9223372036854775807\n" +
                        "member 9223372036854775807 0 ffffffff last\n");
  BundleIndex index;
  ASSERT_TRUE(readBundleIndex(in, &index).ok());
  ASSERT_EQ(index.size(), 3u);
  const BundleMember& first = index.at("maps/a b.txt");
  EXPECT_EQ(first.bundleSize, 9000);
  EXPECT_EQ(first.offset, 0);
  EXPECT_EQ(first.size, 4000);
  EXPECT_EQ(first.crc, 0x5a0c9e11u);
  EXPECT_EQ(index.at("maps/c.txt").offset, 4000);
  EXPECT_EQ(index.at("last").offset, INT64_MAX);
  // The publisher's own lines read back as written.
  std::istringstream written(std::string(kBundleIndexFormatLine) + "\n" +
                             formatBundleLine({first.bundle, first.bundleSize}) + "\n" +
                             formatMemberLine("x", 12, 34, 0xdeadbeef) + "\n");
  BundleIndex again;
  ASSERT_TRUE(readBundleIndex(written, &again).ok());
  EXPECT_EQ(again.at("x").crc, 0xdeadbeefu);
  std::istringstream other("brightwick-bundles 2\n");
  EXPECT_FALSE(readBundleIndex(other, &again).ok());
}

}  // namespace
