// brightwick-pack's library: the manifest it writes, what it refuses, how it
// reuses and replaces packed files, that a failed run changes nothing, that
// it describes what it packed whatever happens to the release meanwhile, and
// that the updater installs what it publishes, byte for byte. Kills, hang-ups
// and concurrent runs are in pack_e2e_test.cpp.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "pack.h"
#include "support/http_server.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"
#include "update/manifest.h"

namespace fs = std::filesystem;

namespace {

// Every file and folder under `root`: content and inode for files, so that
// "as it was" means the very same files, not copies.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  if (!fs::exists(root)) return entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string name = entry.path().lexically_relative(root).generic_string();
    if (entry.is_directory()) {
      entries[name] = "<folder>";
    } else {
      struct stat info;
      stat(entry.path().c_str(), &info);
      entries[name] = readFile(entry.path()) + "#inode" + std::to_string(info.st_ino);
    }
  }
  return entries;
}

ino_t inodeOf(const fs::path& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// Inflates with zlib's own uncompress, independent of the engine.
std::string inflated(const std::string& packed, std::size_t size) {
  std::string out(size, '\0');
  uLongf length = static_cast<uLongf>(size);
  int status =
      uncompress(reinterpret_cast<Bytef*>(out.data()), &length,
                 reinterpret_cast<const Bytef*>(packed.data()), static_cast<uLong>(packed.size()));
  if (status != Z_OK || length != size) return "<does not inflate to " + std::to_string(size) + ">";
  return out;
}

std::uint32_t crcOf(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// Bytes whose CRC-32 has the top bit set, which the manifest writes negative.
std::string dataWithHighCrc() {
  for (unsigned seed = 1;; ++seed) {
    std::string data = makeBytes(5000, seed, true);
    if (crcOf(data) >= 0x80000000u) return data;
  }
}

std::string join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// Serves the files of `root` under the updater's base URL, read at request
// time, as a static web server would.
TestHttpServer::Handler serveFolder(const fs::path& root) {
  return [root](const Request& request) {
    Reply reply;
    std::string name = nameOfTarget(request.target);
    fs::path file = root / name;
    if (name.empty() || !fs::is_regular_file(file)) {
      reply.status = 404;
    } else {
      reply.body = readFile(file);
    }
    return reply;
  };
}

struct PackTest : ::testing::Test {
  ScopedTempDir dir;
  fs::path release = dir.path() / "release";
  fs::path out = dir.path() / "out";
  std::map<std::string, std::string> files;  // the release, name -> bytes

  void add(const std::string& name, const std::string& data) {
    files[name] = data;
    writeFile(release / name, data);
  }
  void drop(const std::string& name) {
    files.erase(name);
    fs::remove(release / name);
  }

  // A release with everything that tends to go wrong: folders, an empty
  // file, a CRC with the top bit set, data that deflate makes larger.
  void makeRelease() {
    add("tdx.exe", makeBytes(70000, 1, true));
    add("empty.cfg", "");
    add("maps/high-crc.map", dataWithHighCrc());
    add("maps/town/noise.pak", makeBytes(120000, 2, false));
    add("sounds/music.ogg", makeBytes(250000, 3, true));
  }

  PublishResult run(PublishOptions options = {}) {
    PublishResult result = publish(release, out, options);
    for (const std::string& error : result.errors) ADD_FAILURE() << "unexpected: " << error;
    EXPECT_TRUE(result.ok);
    return result;
  }

  // Publishes and expects a refusal naming `culprit`, with `out` unchanged.
  void expectRefused(const std::string& culprit, PublishOptions options = {}) {
    std::map<std::string, std::string> before = snapshot(out);
    PublishResult result = publish(release, out, options);
    EXPECT_FALSE(result.ok);
    ASSERT_FALSE(result.errors.empty());
    bool named = false;
    for (const std::string& error : result.errors) {
      named = named || error.find(culprit) != std::string::npos;
    }
    EXPECT_TRUE(named) << culprit << " not named in: " << result.errors[0];
    EXPECT_EQ(snapshot(out), before);
  }

  // Updates `game` (made the current folder for the run) from `out`,
  // served over HTTP, and checks it against the release byte for byte.
  void updateAndCompare(const fs::path& game) {
    TestHttpServer server(serveFolder(out));
    fs::path previous = fs::current_path();
    fs::current_path(game);
    std::vector<std::string> messages;
    {
      UpdateHarness harness(server.address());
      ASSERT_TRUE(harness.run());
      EXPECT_TRUE(harness.dialog().eventsStartingWith("box ").empty());
      messages = logMessages();
    }
    fs::current_path(previous);
    EXPECT_TRUE(messages.empty()) << messages[0];
    for (const auto& file : files) {
      EXPECT_EQ(readFile(game / file.first), file.second) << file.first;
    }
    EXPECT_EQ(readFile(game / "update.dat"), readFile(out / "update.dat"));
  }
};

TEST(PackManifestLine, WritesTheChecksumAsTheSignedNumberTheUpdaterCompares) {
  EXPECT_EQ(formatManifestLine("a/b.pak", 10, 20, 0x7fffffffu), "a/b.pak,10,20,2147483647");
  EXPECT_EQ(formatManifestLine("x", 8, 0, 0x80000000u), "x,8,0,-2147483648");
  EXPECT_EQ(formatManifestLine("x", 8, 0, 0xffffffffu), "x,8,0,-1");
  // The updater's own reading gives back the same bit patterns.
  for (std::uint32_t crc : {0u, 1u, 0x7fffffffu, 0x80000000u, 0xdeadbeefu, 0xffffffffu}) {
    std::vector<std::string> fields;
    ASSERT_EQ(parseManifestLine(formatManifestLine("f.pak", 123, 2147483647, crc), fields),
              LineKind::entry);
    EXPECT_EQ(fields[0], "f.pak");
    EXPECT_EQ(static_cast<std::uint32_t>(readLong32(fields[3])), crc);
    EXPECT_EQ(readLong32(fields[2]), 2147483647);
  }
}

TEST(PackGlob, MatchesNamesAtAnyDepthAndPathsFromTheTop) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"*.log", "a.log", true},
      {"*.log", "logs/deep/a.log", true},
      {"*.log", "a.log.txt", false},
      {"saves", "saves", true},
      {"saves", "game/saves", true},
      {"/update.dat", "update.dat", true},
      {"/update.dat", "maps/update.dat", false},
      {"tools/*", "tools/x.exe", true},
      {"tools/*", "tools/sub/x.exe", false},
      {"tools/**", "tools/sub/x.exe", true},
      {"**/cache/*", "cache/a", true},
      {"**/cache/*", "a/b/cache/c", true},
      {"a/**/b", "a/b", true},
      {"a?c", "abc", true},
      {"a?c", "a/c", false},
      {"*", "", true},
      {"map[0-9].pak", "map7.pak", true},
      {"map[0-9].pak", "mapx.pak", false},
      {"map[!0-9].pak", "mapx.pak", true},
      {"[]]x", "]x", true},
      {"[ab", "[ab", true},  // no closing bracket: literal
      {"*.PDB", "a.pdb", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(globMatches(c.pattern, c.name), c.matches) << c.pattern << " vs " << c.name;
  }
}

TEST(PackNames, RefusesWhatTheManifestTheUrlOrWindowsCannotCarry) {
  for (const char* bad :
       {"a,b.pak",      "line\nbreak", "cr\r",     "eof\x1a",   "a b.pak", "a#b",   "a?b",
        "100%.txt",     "dir\\file",   "c:file",   "x<y",       "pipe|",   "star*", "quote\"",
        "maps/nul.txt", "CON",         "com1.dat", "trailing.", "maps./a", "..."}) {
    EXPECT_NE(nameProblem(bad), "") << bad;
  }
  for (const char* good : {"tdx.exe", "maps/town/a-b_c.pak", ".hidden", "a+b(1)[2]{3}~!@$&'=;.x",
                           "\xe9t\xe9.ogg", "data/temp", "sub/update.dat"}) {
    EXPECT_EQ(nameProblem(good), "") << good;
  }
}

TEST_F(PackTest, WritesASortedManifestAndAStreamPerFile) {
  makeRelease();
  add("B-upper.txt", "upper case sorts before lower case");
  add("\xe9t\xe9.ogg", "a high byte sorts last");
  // The updater's program is a file of the release: it replaces itself.
  add("brightwick-updater.exe", "updater");
  // Left out whatever the options: the updater's own files and logs.
  writeFile(release / "update.dat", "old manifest");
  writeFile(release / "temp", "scratch");
  writeFile(release / "temp.updater-old", "the updater a run set aside");
  writeFile(release / "2026-Dec-07.log", "log");
  writeFile(release / "maps/debug.log", "log");
  fs::create_symlink("tdx.exe", release / "game-link");

  PublishResult result = run();
  EXPECT_EQ(result.packed.size(), files.size());
  EXPECT_EQ(result.listed, files.size());
  EXPECT_TRUE(result.manifestChanged);
  ASSERT_EQ(result.warnings.size(), 1u);
  EXPECT_NE(result.warnings[0].find("game-link"), std::string::npos);

  std::vector<std::string> expected;
  for (const auto& file : files) {  // std::map: byte order
    std::string packed = readFile(out / file.first);
    EXPECT_EQ(inflated(packed, file.second.size()), file.second) << file.first;
    expected.push_back(file.first + "," + std::to_string(packed.size()) + "," +
                       std::to_string(file.second.size()) + "," + crcText(file.second));
  }
  EXPECT_EQ(readFile(out / "update.dat"), join(expected));
  EXPECT_NE(readFile(out / "update.dat").find(",-"), std::string::npos);
  // Nothing but the listed files, their folders and the publisher's own
  // lock and records; no scratch, no journal left.
  for (const auto& entry : snapshot(out)) {
    bool listed = files.count(entry.first) != 0 || entry.first == "update.dat" ||
                  entry.first == "update.d/lock" || entry.first == "update.d/records" ||
                  entry.second == "<folder>";
    EXPECT_TRUE(listed) << entry.first;
  }
  EXPECT_FALSE(fs::exists(out / "temp.updater-old"));
  EXPECT_FALSE(fs::exists(out / "maps/debug.log"));
  EXPECT_EQ(verify(out).problems, std::vector<std::string>());
}

TEST_F(PackTest, ExcludedFilesAndFoldersAreLeftOut) {
  makeRelease();
  writeFile(release / "saves/slot1.sav", "save");
  writeFile(release / "maps/town/notes.pdb", "symbols");
  PublishOptions options;
  options.excludes = {"saves", "*.pdb"};
  PublishResult result = run(options);
  EXPECT_EQ(result.listed, files.size());
  EXPECT_FALSE(fs::exists(out / "saves"));
  EXPECT_FALSE(fs::exists(out / "maps/town/notes.pdb"));
  EXPECT_NE(std::find(result.excluded.begin(), result.excluded.end(), "saves/"),
            result.excluded.end());
}

TEST_F(PackTest, TheUpdaterInstallsThePublishedFilesIntoAnEmptyAndAnOldGameFolder) {
  makeRelease();
  run();

  // The updater creates no folders: a fresh install has them already.
  fs::path fresh = dir.path() / "fresh";
  for (const char* folder : {"maps/town", "sounds"}) fs::create_directories(fresh / folder);
  updateAndCompare(fresh);

  fs::path old = dir.path() / "old";
  writeFile(old / "tdx.exe", files["tdx.exe"]);                         // current
  writeFile(old / "empty.cfg", "was not empty");                        // changed
  writeFile(old / "maps/high-crc.map", "an older map");                 // changed
  writeFile(old / "maps/town/noise.pak", makeBytes(120000, 9, false));  // same size
  fs::create_directories(old / "sounds");                               // file missing
  updateAndCompare(old);
}

TEST_F(PackTest, RepublishingCompressesOnlyWhatChanged) {
  makeRelease();
  add("maps/town/old.pak", "only in the first release");
  run();
  std::map<std::string, ino_t> inodes;
  for (const auto& file : files) inodes[file.first] = inodeOf(out / file.first);
  ino_t manifestInode = inodeOf(out / "update.dat");

  // Nothing changed: nothing is written, update.dat included.
  PublishResult same = run();
  EXPECT_TRUE(same.packed.empty());
  EXPECT_EQ(same.reused.size(), files.size());
  EXPECT_FALSE(same.manifestChanged);
  EXPECT_EQ(inodeOf(out / "update.dat"), manifestInode);

  add("tdx.exe", makeBytes(70000, 11, true));                // same size, new bytes
  add("sounds/music.ogg", files["sounds/music.ogg"] + "!");  // longer
  add("maps/new.map", "new in the second release");
  drop("maps/town/old.pak");
  // A packed file that no longer has its listed size is made again.
  writeFile(out / "empty.cfg", "tampered, and longer than before");
  PublishResult second = run();
  EXPECT_EQ(second.packed,
            (std::vector<std::string>{"empty.cfg", "maps/new.map", "sounds/music.ogg", "tdx.exe"}));
  EXPECT_EQ(second.reused, (std::vector<std::string>{"maps/high-crc.map", "maps/town/noise.pak"}));
  EXPECT_EQ(second.removed, std::vector<std::string>{"maps/town/old.pak"});
  EXPECT_EQ(inodeOf(out / "maps/high-crc.map"), inodes["maps/high-crc.map"]);
  EXPECT_EQ(inodeOf(out / "maps/town/noise.pak"), inodes["maps/town/noise.pak"]);
  EXPECT_NE(inodeOf(out / "tdx.exe"), inodes["tdx.exe"]);
  EXPECT_FALSE(fs::exists(out / "maps/town/old.pak"));
  EXPECT_EQ(verify(out).problems, std::vector<std::string>());
  fs::path game = dir.path() / "game";
  for (const char* folder : {"maps/town", "sounds"}) fs::create_directories(game / folder);
  updateAndCompare(game);

  // A folder the release no longer has goes with its last packed file.
  drop("maps/town/noise.pak");
  EXPECT_EQ(run().removed, std::vector<std::string>{"maps/town/noise.pak"});
  EXPECT_FALSE(fs::exists(out / "maps/town"));
  EXPECT_TRUE(fs::exists(out / "maps"));

  PublishOptions force;
  force.force = true;
  EXPECT_EQ(run(force).packed.size(), files.size());
}

TEST_F(PackTest, RefusalsNameTheFileAndWriteNothing) {
  makeRelease();
  run();
  const std::pair<const char*, const char*> badNames[] = {
      {"maps/a,b.map", "a,b.map"},   {"maps/line\nbreak", "line?break"},
      {"sounds/nul.ogg", "nul.ogg"}, {"maps/what#.map", "what#.map"},
      {"space name", "space name"},  {"trailing.", "trailing."},
      {"maps/...", "maps/..."},      {"TEMP.DOWNLOAD", "TEMP.DOWNLOAD"},
  };
  for (const auto& bad : badNames) {
    SCOPED_TRACE(bad.second);
    writeFile(release / bad.first, "x");
    expectRefused(bad.second);
    fs::remove(release / bad.first);
  }

  // Sizes are signed 32-bit: 2 GiB is one byte too many. (Sparse: no disk.)
  { std::ofstream big(release / "huge.pak"); }
  fs::resize_file(release / "huge.pak", std::uintmax_t{1} << 31);
  expectRefused("huge.pak");
  fs::remove(release / "huge.pak");

  // The output folder's shape: a folder where a packed file must go.
  add("maps/spot.map", "spot");
  fs::create_directories(out / "maps/spot.map");
  expectRefused("spot.map");
  fs::remove(out / "maps/spot.map");
  drop("maps/spot.map");

  // Folders that overlap, and an output that does not exist yet.
  PublishResult inside = publish(release, release / "updates", {});
  EXPECT_FALSE(inside.ok);
  EXPECT_FALSE(fs::exists(release / "updates"));
  PublishOptions badLevel;
  badLevel.level = 10;
  fs::path fresh = dir.path() / "new/updates";
  EXPECT_FALSE(publish(release, fresh, badLevel).ok);
  EXPECT_FALSE(fs::exists(dir.path() / "new"));
}

TEST_F(PackTest, AFailureMidwayLeavesTheOutputFolderAsItWas) {
  add("a.pak", "first release a");
  add("m.pak", "first release m");
  add("z.pak", "first release z");
  run();
  std::map<std::string, std::string> before = snapshot(out);

  add("a.pak", "second release a");
  add("m.pak", "second release m");
  add("n.pak", "second release n, new");
  add("z.pak", "second release z");

  // A file that disappears while the run reads the release.
  PublishOptions vanishing;
  vanishing.progress = [&](const PackProgress& progress) {
    if (progress.current == "m.pak") fs::remove(release / "n.pak");
  };
  PublishResult failed = publish(release, out, vanishing);
  EXPECT_FALSE(failed.ok);
  ASSERT_FALSE(failed.errors.empty());
  EXPECT_NE(failed.errors[0].find("n.pak"), std::string::npos) << failed.errors[0];
  EXPECT_TRUE(failed.packed.empty());
  EXPECT_EQ(snapshot(out), before);
  add("n.pak", "second release n, new");

  // A packed file that cannot be replaced after a.pak and m.pak already
  // were, and n.pak was added: all three are put back.
  PublishOptions blocked;
  blocked.progress = [&](const PackProgress& progress) {
    if (progress.current == "z.pak" && fs::is_regular_file(out / "z.pak")) {
      fs::remove(out / "z.pak");
      fs::create_directories(out / "z.pak/in-the-way");
    }
  };
  failed = publish(release, out, blocked);
  EXPECT_FALSE(failed.ok);
  ASSERT_FALSE(failed.errors.empty());
  EXPECT_NE(failed.errors[0].find("z.pak"), std::string::npos) << failed.errors[0];
  std::map<std::string, std::string> after = snapshot(out);
  before.erase("z.pak");
  after.erase("z.pak");
  after.erase("z.pak/in-the-way");
  EXPECT_EQ(after, before);
}

TEST_F(PackTest, ACancelledRunIsUndoneAndAKilledOnesLeftoversAreRemoved) {
  add("a.pak", "first release");
  run();
  std::map<std::string, std::string> before = snapshot(out);

  // The command line cancels (Ctrl-C) by throwing from the progress report;
  // here it happens inside the engine, halfway through compressing a file.
  add("a.pak", "second release");
  add("big.pak", makeBytes(400000, 7, true));
  int reports = 0;
  PublishOptions cancelled;
  cancelled.progress = [&](const PackProgress& progress) {
    if (progress.current == "big.pak" && ++reports == 20) throw std::runtime_error("interrupted");
  };
  PublishResult result = publish(release, out, cancelled);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.errors, std::vector<std::string>{"interrupted"});
  EXPECT_EQ(snapshot(out), before);

  // The lock tells a dead run's scratch folder from a live one's.
  writeFile(out / ".brightwick-pack-0123abcd/0", "half a packed file");
  PublishResult next = run();
  ASSERT_EQ(next.repairs.size(), 1u);
  EXPECT_NE(next.repairs[0].find(".brightwick-pack-0123abcd"), std::string::npos);
  EXPECT_FALSE(fs::exists(out / ".brightwick-pack-0123abcd"));
}

TEST_F(PackTest, VerifyFindsWhatTheUpdaterWouldStumbleOver) {
  makeRelease();
  run();
  VerifyResult clean = verify(out);
  EXPECT_TRUE(clean.ok());
  EXPECT_EQ(clean.checked, files.size());

  std::string packed = readFile(out / "sounds/music.ogg");
  packed[packed.size() / 2] ^= 0x10;
  writeFile(out / "sounds/music.ogg", packed);                      // corrupt, same size
  writeFile(out / "tdx.exe", readFile(out / "tdx.exe") + "extra");  // wrong size
  fs::remove(out / "empty.cfg");
  // A manifest line that promises a small file for a large stream, and one
  // with a size the updater would compare as different text.
  std::string manifest = readFile(out / "update.dat");
  std::string noise = "maps/town/noise.pak,";
  std::size_t at = manifest.find(noise) + noise.size();
  manifest.insert(at, "0");
  std::string bomb(3 << 19, 'x');
  std::string packedBomb = zlibStream(bomb, 1);
  writeFile(out / "bomb.dat", packedBomb);
  manifest += "bomb.dat," + std::to_string(packedBomb.size()) + ",10," + crcText(bomb) + "\n";
  manifest += "short,line\n";
  writeFile(out / "update.dat", manifest);

  VerifyResult result = verify(out);
  EXPECT_EQ(result.problems.size(), 6u);
  auto mentions = [&](const std::string& name, const std::string& what) {
    for (const std::string& problem : result.problems) {
      if (problem.find(name) != std::string::npos && problem.find(what) != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(mentions("sounds/music.ogg", "inflate")) << ::testing::PrintToString(result.problems);
  EXPECT_TRUE(mentions("tdx.exe", "bytes")) << ::testing::PrintToString(result.problems);
  EXPECT_TRUE(mentions("empty.cfg", "missing"));
  EXPECT_TRUE(mentions("noise.pak", "decimal"));
  EXPECT_TRUE(mentions("bomb.dat", "more than"));
  EXPECT_TRUE(mentions("short,line", "four fields"));
  // The data itself is sound for everything else.
  EXPECT_FALSE(mentions("maps/high-crc.map", ""));
  // A wrong CRC alone.
  std::string high = files["maps/high-crc.map"];
  std::string line = "maps/high-crc.map," +
                     std::to_string(fs::file_size(out / "maps/high-crc.map")) + "," +
                     std::to_string(high.size()) + ",";
  writeFile(out / "update.dat", line + "12345\n");
  result = verify(out);
  ASSERT_EQ(result.problems.size(), 1u);
  EXPECT_NE(result.problems[0].find("CRC"), std::string::npos) << result.problems[0];
  // Its scratch file goes to TMPDIR and is gone afterwards.
  fs::path scratch = dir.path() / "tmp";
  fs::create_directory(scratch);
  setenv("TMPDIR", scratch.c_str(), 1);
  EXPECT_FALSE(verify(out).ok());
  unsetenv("TMPDIR");
  EXPECT_TRUE(fs::is_empty(scratch));
}

TEST_F(PackTest, APackedFileIsReusedOnlyWhileItsRecordStillDescribesIt) {
  PublishOptions stored;
  stored.level = 0;  // packed sizes follow the file sizes
  add("a.pak", makeBytes(30000, 1, false));
  add("b.pak", makeBytes(30000, 2, false));
  add("c.pak", "c");
  run(stored);
  // The packed file of another version of a.pak, of the very same size, as a
  // killed run or a careless copy could leave it.
  fs::path other = dir.path() / "other";
  writeFile(other / "a.pak", makeBytes(30000, 3, false));
  ASSERT_TRUE(publish(other, dir.path() / "other-out", stored).ok);
  fs::copy_file(dir.path() / "other-out/a.pak", out / "a.pak",
                fs::copy_options::overwrite_existing);
  PublishResult again = run(stored);
  EXPECT_EQ(again.packed, std::vector<std::string>{"a.pak"});
  EXPECT_EQ(again.reused, (std::vector<std::string>{"b.pak", "c.pak"}));
  EXPECT_EQ(verify(out).problems, std::vector<std::string>());

  // Records of a later format, or none (a folder an older version wrote),
  // are no basis for reuse: everything is packed again, once.
  writeFile(out / "update.d/records", "brightwick-records 99\n");
  PublishResult unknown = run(stored);
  EXPECT_EQ(unknown.packed.size(), 3u);
  ASSERT_EQ(unknown.warnings.size(), 1u);
  EXPECT_NE(unknown.warnings[0].find("records"), std::string::npos) << unknown.warnings[0];
  fs::remove(out / "update.d/records");
  EXPECT_EQ(run(stored).packed.size(), 3u);
  EXPECT_TRUE(run(stored).packed.empty());
  EXPECT_EQ(verify(out).problems, std::vector<std::string>());
}

TEST_F(PackTest, AFileChangedUnseenWhileItIsPackedIsListedAsItWasPacked) {
  add("big.pak", makeBytes(300000, 4, true));
  int fd = open((release / "big.pak").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct stat before;
  ASSERT_EQ(fstat(fd, &before), 0);
  void* mapped = mmap(nullptr, 300000, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  unsigned char* bytes = static_cast<unsigned char*>(mapped);

  // Through the shared mapping, far beyond what the engine has read when it
  // first reports, and with the time stamp put back: no write call and no
  // trace for the publisher to notice.
  bool changed = false;
  PublishOptions options;
  options.progress = [&](const PackProgress& progress) {
    if (changed || progress.current != "big.pak") return;
    for (std::size_t at = 200000; at < 200100; ++at) bytes[at] ^= 0x5a;
    const timespec times[2] = {before.st_atim, before.st_mtim};
    futimens(fd, times);
    changed = true;
  };
  run(options);
  munmap(mapped, 300000);
  close(fd);
  ASSERT_TRUE(changed);
  std::string now = readFile(release / "big.pak");
  ASSERT_NE(now, files["big.pak"]);
  // Listed as the bytes that went into the stream, which are the new ones.
  EXPECT_EQ(verify(out).problems, std::vector<std::string>());
  EXPECT_EQ(inflated(readFile(out / "big.pak"), now.size()), now);
  EXPECT_NE(readFile(out / "update.dat").find("," + crcText(now) + "\n"), std::string::npos);
}

TEST_F(PackTest, AJournalThatLeavesTheFolderOrIsNotUnderstoodIsNotActedOn) {
  add("a.pak", "a");
  run();
  writeFile(dir.path() / "canary", "keep");
  const char* journals[] = {
      // A put that would be undone by deleting a file outside the folder.
      "brightwick-journal 1\nscratch .brightwick-pack-1\nput 0 - 1 00000000 ../canary\nend\n",
      // A scratch folder that would be removed with all it holds.
      "brightwick-journal 1\nscratch ../..\nend\n",
      "brightwick-journal 2\nscratch .brightwick-pack-1\nend\n",
      "brightwick-journal 1\nscratch .brightwick-pack-1\nput 0 - 1 00000000 a.pak\n",
  };
  for (const char* journal : journals) {
    SCOPED_TRACE(journal);
    writeFile(out / "update.d/journal", journal);
    std::map<std::string, std::string> before = snapshot(out);
    VerifyResult checked = verify(out);
    ASSERT_EQ(checked.problems.size(), 1u);
    EXPECT_NE(checked.problems[0].find("journal"), std::string::npos) << checked.problems[0];
    PublishResult published = publish(release, out, {});
    EXPECT_FALSE(published.ok);
    EXPECT_EQ(snapshot(out), before);
    EXPECT_EQ(readFile(dir.path() / "canary"), "keep");
  }
}

}  // namespace
