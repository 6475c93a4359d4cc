// The Windows updater end to end under Wine, once for each architecture it
// is built for: the i686 build players get (through Debian's 32-bit Wine,
// scripts/setup-wine32.sh) and the x86_64 build of the same sources. CMake
// registers every case twice; "--arch=NAME" picks the programs, the Wine
// loader and the Wine prefix. Each run works in a temporary game folder on a
// virtual X display, with the loopback server as its HTTP proxy. Small
// Windows programs built for the same architecture play the other parts:
// tdx.exe is a game that leaves a mark, file_holder.exe holds a file open as
// a running game does, and window_probe.exe reads (and confirms) the
// updater's windows as a player sees them.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "download/proxy_setup.h"
#include "pack.h"
#include "support/http_server.h"
#include "support/process.h"
#include "support/signed_folder.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"
#include "support/virtual_display.h"
#include "update/patch_index.h"
#include "windows/windows_fixture.h"

namespace {

using namespace windows_test;

// Every stamp ("\r\nYYYY-Mon-DD.HH.MM.SS - ") in the log `text`, as moments.
std::vector<std::time_t> stampsOf(const std::string& text, long zoneOffset) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::vector<std::time_t> stamps;
  for (std::size_t at = text.find("\r\n"); at != std::string::npos;
       at = text.find("\r\n", at + 1)) {
    std::tm when{};
    char month[4] = {};
    int used = 0;
    if (std::sscanf(text.c_str() + at + 2, "%4d-%3[A-Za-z]-%2d.%2d.%2d.%2d - %n", &when.tm_year,
                    month, &when.tm_mday, &when.tm_hour, &when.tm_min, &when.tm_sec, &used) < 6 ||
        used == 0) {
      continue;
    }
    when.tm_year -= 1900;
    when.tm_mon = -1;
    for (int i = 0; i < 12; ++i) {
      if (std::strcmp(month, kMonths[i]) == 0) when.tm_mon = i;
    }
    if (when.tm_mon < 0) continue;
    stamps.push_back(timegm(&when) - zoneOffset);
  }
  return stamps;
}

// Data of `size` bytes whose CRC-32 is 0x80000000 or more: a manifest
// writes it as a negative number.
std::string bytesWithHighCrc(std::size_t size) {
  for (unsigned seed = 1;; ++seed) {
    std::string data = makeBytes(size, seed, false);
    if (zlibCrc(data) >= 0x80000000u) return data;
  }
}

TEST_F(WindowsUpdaterTest, UpdatesTheGameFolderAndStartsTheGame) {
  std::string fresh = makeBytes(30000, 11, true);
  std::string stale = makeBytes(70000, 12, false);
  std::string added = makeBytes(200000, 13, true);
  std::string gone = makeBytes(5000, 14, true);
  writeFile("fresh.pak", fresh);
  writeFile("stale.pak", "old stale");
  writeFile("gone.pak", "old gone");
  fs::create_directory("sounds");
  std::string packedGone = zlibStream(gone);
  std::string manifest = publish("fresh.pak", fresh) + publish("stale.pak", stale) +
                         publish("sounds/new.wav", added) +
                         manifestLine("gone.pak", gone, packedGone) + "\n";
  served["update.dat"] = ok(manifest);
  TestHttpServer server(serveUpdates(served));

  std::time_t started = std::time(nullptr);
  ProcessResult result = startUpdater(server)->wait(120s);
  std::time_t ended = std::time(nullptr);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(readFile("fresh.pak"), fresh);
  EXPECT_EQ(readFile("stale.pak"), stale);
  EXPECT_EQ(readFile("sounds/new.wav"), added);
  // The server answered 404: the old file stays, and the log says why.
  EXPECT_EQ(readFile("gone.pak"), "old gone");
  EXPECT_EQ(logMessages(), (std::vector<std::string>{
                               "Download Failed (HTTP status 404):  Error updating gone.pak",
                               "Invalid Pre-Decompression Size:  Error updating gone.pak",
                               "Invalid Post-Decompression Size:  Error updating gone.pak"}));
  // One log, named for the local date of the run, every entry stamped
  // within it (to the second, so a stamp off by the zone's hours fails).
  std::vector<fs::path> logs;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    if (entry.path().extension() == ".log") logs.push_back(entry.path().filename());
  }
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_TRUE(logs[0] == localDate(started) + ".log" || logs[0] == localDate(ended) + ".log")
      << logs[0] << " for " << localDate(started);
  std::vector<std::time_t> stamps = stampsOf(readFile(dir.path() / logs[0]), zoneOffset_);
  ASSERT_EQ(stamps.size(), 3u) << readFile(dir.path() / logs[0]);
  for (std::time_t stamp : stamps) {
    EXPECT_GE(stamp, started - 1);
    EXPECT_LE(stamp, ended + 1);
    EXPECT_EQ(localDate(stamp) + ".log", logs[0].string());
  }
  EXPECT_EQ(readFile("update.dat"), manifest);
  EXPECT_FALSE(fileExists("temp"));
  EXPECT_FALSE(fileExists("temp.download"));
  // Every request came through the proxy with the built-in URL; the fresh
  // file was not fetched.
  std::vector<std::string> names;
  for (const Request& request : server.requests()) names.push_back(nameOfTarget(request.target));
  EXPECT_EQ(settled(names, 1),
            settled({"update.dat", "stale.pak", "sounds/new.wav", "gone.pak"}, 1));
  ASSERT_TRUE(waitForFile("game-started", 30s));
  EXPECT_EQ(readFile("game-started"), windowsPath(dir.path()));
}

TEST_F(WindowsUpdaterTest, TheDialogFollowsTheTransferAndEscStartsTheGameAtOnce) {
  std::string data = makeBytes(400000, 21, false);
  std::string packed = zlibStream(data);
  writeFile("big.pak", "old big");
  // Half the stream, then silence: the transfer cannot end by itself.
  Reply stall = ok(packed);
  stall.stallAfter = static_cast<std::int64_t>(packed.size() / 2);
  served = {{"update.dat", ok(manifestLine("big.pak", data, packed) + "\n")}, {"big.pak", stall}};
  TestHttpServer server(serveUpdates(served));
  std::unique_ptr<ChildProcess> updater = startUpdater(server);
  ASSERT_TRUE(server.waitForRequests(2, 60000));

  // What the player sees while the transfer hangs at its half.
  int percent = static_cast<int>(stall.stallAfter * 100 / static_cast<std::int64_t>(packed.size()));
  std::string status = "Updating big.pak - " + std::to_string(percent) + "%";
  // A command with a notification code in its high word is not IDCANCEL.
  ProcessResult dialog =
      probeWindow("Brightwick Updater", {"--until-text", status, "--command", "0x10002"});
  ASSERT_EQ(dialog.exitCode, 0) << dialog.output;
  EXPECT_NE(dialog.output.find("control msctls_progress32 1 Text"), std::string::npos)
      << dialog.output;
  EXPECT_NE(dialog.output.find("progress 1 " + std::to_string(percent) + " 0 100"),
            std::string::npos)
      << dialog.output;
  EXPECT_NE(dialog.output.find("control Static 2 " + status), std::string::npos) << dialog.output;
  EXPECT_NE(dialog.output.find("visible 1"), std::string::npos) << dialog.output;
  fs::create_directories(BRIGHTWICK_ARTIFACTS);
  std::string screenshot =
      std::string(BRIGHTWICK_ARTIFACTS) + "/windows-dialog-transfer-" + gTarget.arch + ".png";
  ProcessResult shot = runX({BRIGHTWICK_IMPORT, "-window", "root", screenshot});
  EXPECT_EQ(shot.exitCode, 0) << shot.output;
  EXPECT_GT(fs::file_size(screenshot), 0u);

  // Without a window manager the dialog takes the keyboard by focus, not by
  // activation.
  ProcessResult escape = runX({BRIGHTWICK_XDOTOOL, "search", "--sync", "--onlyvisible", "--name",
                               "Brightwick Updater", "windowfocus", "--sync", "key", "Escape"});
  ASSERT_EQ(escape.exitCode, 0) << escape.output;
  ASSERT_TRUE(waitForFile("game-started", 10s));
  // The stalled transfer is abandoned and the process ends; the old file
  // stays.
  ProcessResult result = updater->wait(30s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(readFile("big.pak"), "old big");
  EXPECT_FALSE(fileExists("temp.download"));
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(WindowsUpdaterTest, FilesThatCannotBeReplacedAreReportedKeptAndSkipped) {
  std::string held = makeBytes(20000, 31, true);
  std::string protectedData = makeBytes(20000, 32, true);
  std::string after = makeBytes(50000, 33, false);
  writeFile("held.pak", "held by the game");
  writeFile("readonly.pak", "protected by the player");
  chmod("readonly.pak", 0444);
  served["update.dat"] = ok(publish("held.pak", held) + publish("readonly.pak", protectedData) +
                            publish("after.pak", after));
  TestHttpServer server(serveUpdates(served));
  // Another Windows process holds held.pak open, sharing nothing.
  std::unique_ptr<ChildProcess> holder =
      startWindowsProgram({(gTarget.helpers / "file_holder.exe").string(), "held.pak",
                           "holder-ready", "holder-release"});
  ASSERT_TRUE(waitForFile("holder-ready", 60s));

  std::unique_ptr<ChildProcess> updater = startUpdater(server);
  // Each file it cannot replace stops the run at a message box naming it,
  // until the player confirms.
  for (const char* name : {"held.pak", "readonly.pak"}) {
    ProcessResult box = probeWindow("Updating Error", {"--dismiss"});
    EXPECT_EQ(box.exitCode, 0) << box.output;
    EXPECT_NE(box.output.find(std::string("Cannot open the file ") + name + kCannotWrite),
              std::string::npos)
        << box.output;
  }
  ProcessResult result = updater->wait(60s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 0);
  writeFile("holder-release", "");
  ProcessResult held_result = holder->wait(30s);
  EXPECT_TRUE(held_result.exited && held_result.exitCode == 0) << held_result.output;

  EXPECT_EQ(readFile("held.pak"), "held by the game");
  EXPECT_EQ(readFile("readonly.pak"), "protected by the player");
  // The run went on after the boxes.
  EXPECT_EQ(readFile("after.pak"), after);
  EXPECT_EQ(logMessages(), (std::vector<std::string>{
                               "Invalid Post-Decompression Size:  Error updating held.pak",
                               "Invalid Post-Decompression Size:  Error updating readonly.pak"}));
  EXPECT_FALSE(fileExists("temp"));
  EXPECT_TRUE(waitForFile("game-started", 30s));
}

TEST_F(WindowsUpdaterTest, SizesAndChecksumsAreReadAsSigned32BitNumbers) {
  // A size clamped to 2147483647 is checked against the free space like any
  // other: this needs the disk to have room for it.
  std::error_code error;
  if (fs::space(dir.path(), error).available < (std::uintmax_t{5} << 30)) {
    GTEST_SKIP() << "fewer than 5 GiB free: the clamped sizes would not fit";
  }
  // Long enough for the folded CRC; written negative it matches, written as
  // the unsigned number it clamps to 2147483647 and never does.
  std::string high = bytesWithHighCrc(300000);
  std::string packedHigh = zlibStream(high);
  std::string crcUnsigned = std::to_string(zlibCrc(high));
  writeFile("signed.pak", high);
  writeFile("unsigned.pak", high);
  std::string big = makeBytes(1536 * 1024, 42, false);
  std::string packedBig = zlibStream(big);
  // 2^32 + its length: wrapped to 32 bits the listed size matches and the
  // old file would pass as fresh; clamped it does not.
  std::string small = makeBytes(100, 43, true);
  writeFile("wrapped.pak", small);
  std::string manifest = manifestLine("signed.pak", high, packedHigh) + "\n" + "unsigned.pak," +
                         std::to_string(packedHigh.size()) + "," + std::to_string(high.size()) +
                         "," + crcUnsigned + "\n" + "wrapped.pak," +
                         std::to_string(packedBig.size()) + ",4294967396," + crcText(small) + "\n" +
                         "huge.pak,99999999999,99999999999," + crcText(big) + "\n";
  served = {{"update.dat", ok(manifest)},
            {"signed.pak", ok(packedHigh)},
            {"unsigned.pak", ok(packedHigh)},
            {"wrapped.pak", ok(packedBig)},
            {"huge.pak", ok(packedBig)}};
  TestHttpServer server(serveUpdates(served));

  ProcessResult result = startUpdater(server)->wait(120s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 0);
  std::vector<std::string> names;
  for (const Request& request : server.requests()) names.push_back(nameOfTarget(request.target));
  EXPECT_EQ(settled(names, 1),
            settled({"update.dat", "unsigned.pak", "wrapped.pak", "huge.pak"}, 1));
  // Compared whole, not printed: the data is large. A clamped size or
  // checksum matches no real file, so nothing listed with one is installed.
  EXPECT_TRUE(readFile("signed.pak") == high);
  EXPECT_TRUE(readFile("unsigned.pak") == high);
  EXPECT_TRUE(readFile("wrapped.pak") == small);
  EXPECT_FALSE(fileExists("huge.pak"));
  EXPECT_EQ(logMessages(), (std::vector<std::string>{
                               "Invalid Checksum:  Error updating unsigned.pak",
                               "Invalid Checksum:  Error updating wrapped.pak",
                               "Invalid Post-Decompression Size:  Error updating wrapped.pak",
                               "Invalid Pre-Decompression Size:  Error updating huge.pak",
                               "Invalid Checksum:  Error updating huge.pak",
                               "Invalid Post-Decompression Size:  Error updating huge.pak"}));
  EXPECT_TRUE(waitForFile("game-started", 30s));
}

// The publisher's tool of this architecture publishes and verifies a
// release under Wine; the Linux updater installs from what it wrote. The
// two builds must agree on every byte of the format.
TEST_F(WindowsUpdaterTest, AReleasePublishedOnWindowsInstallsWithTheLinuxUpdater) {
  Tree release = {{"maps", "<dir>"},
                  {"maps/level1.pak", makeBytes(300000, 51, false)},
                  {"high.dat", bytesWithHighCrc(40000)},
                  {"readme.txt", makeBytes(3000, 52, true)},
                  {"empty.cfg", ""}};
  for (const auto& [name, data] : release) {
    if (data == "<dir>") {
      fs::create_directories(dir.path() / "release" / name);
    } else {
      writeFile(dir.path() / "release" / name, data);
    }
  }
  fs::path pack = gTarget.updater.parent_path() / "brightwick-pack.exe";
  ProcessResult published =
      startWindowsProgram({pack.string(), "publish", "release", "out"})->wait(120s);
  ASSERT_TRUE(published.exited && published.exitCode == 0) << published.output;
  ProcessResult verified = startWindowsProgram({pack.string(), "verify", "out"})->wait(120s);
  EXPECT_TRUE(verified.exited && verified.exitCode == 0) << verified.output;

  // The manifest lists every file, sorted, with its sizes and signed CRC as
  // computed here; each packed file inflates to the release's file.
  std::string expected;
  for (const auto& [name, data] : release) {
    if (data == "<dir>") continue;
    std::string packed = readFile(dir.path() / "out" / name);
    uLongf size = static_cast<uLongf>(data.size());
    std::string inflated(data.size(), '\0');
    EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(inflated.data()), &size,
                         reinterpret_cast<const Bytef*>(packed.data()),
                         static_cast<uLong>(packed.size())),
              Z_OK)
        << name;
    EXPECT_TRUE(inflated == data) << name;
    expected += manifestLine(name, data, packed) + "\n";
  }
  std::string manifest = readFile(dir.path() / "out" / "update.dat");
  EXPECT_EQ(manifest, expected);

  // A game folder at the previous version, updated by the Linux updater.
  fs::path game = dir.path() / "game";
  fs::create_directories(game / "maps");
  writeFile(game / "maps/level1.pak", "old level");
  writeFile(game / "readme.txt", release["readme.txt"]);
  std::map<std::string, Reply> files = {{"update.dat", ok(manifest)}};
  for (const auto& [name, data] : release) {
    if (data != "<dir>") files[name] = ok(readFile(dir.path() / "out" / name));
  }
  TestHttpServer server(serveUpdates(files));
  fs::current_path(game);
  installStandInGame();
  ProcessResult result = runProcess({BRIGHTWICK_UPDATER}, game.string(),
                                    {{"http_proxy", server.address()},
                                     {"DISPLAY", ""},
                                     {"WAYLAND_DISPLAY", ""},
                                     {"HTTP_PROXY", ""},
                                     {"no_proxy", ""},
                                     {"NO_PROXY", ""},
                                     {"all_proxy", ""},
                                     {"ALL_PROXY", ""}},
                                    60s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(logMessages(), std::vector<std::string>{});
  EXPECT_TRUE(waitForFile("game-started", 30s));
  for (const auto& [name, data] : release) {
    if (data != "<dir>") {
      EXPECT_TRUE(readFile(game / name) == data) << name;
    }
  }
  // What was current already was not fetched.
  std::vector<std::string> names;
  for (const Request& request : server.requests()) names.push_back(nameOfTarget(request.target));
  EXPECT_EQ(settled(names, 1),
            settled({"update.dat", "empty.cfg", "high.dat", "maps/level1.pak"}, 1));
}

// The publisher's tool follows no link in the served folder: a journal whose
// paths pass through one (a Unix symbolic link to a folder, which Wine shows
// as a reparse point) is refused by verify and publish alike, and nothing
// outside changes.
TEST_F(WindowsUpdaterTest, ThePublishersRepairFollowsNoLinkInTheServedFolder) {
  writeFile(dir.path() / "release/a.pak", makeBytes(20000, 61, true));
  fs::path pack = gTarget.updater.parent_path() / "brightwick-pack.exe";
  ProcessResult published =
      startWindowsProgram({pack.string(), "publish", "release", "out"})->wait(120s);
  ASSERT_TRUE(published.exited && published.exitCode == 0) << published.output;
  writeFile(dir.path() / "outside/victim.txt", "the studio's");
  fs::create_directory_symlink(dir.path() / "outside", dir.path() / "out/linked");
  std::string manifest = readFile(dir.path() / "out/update.dat");
  char crc[9];
  std::snprintf(crc, sizeof crc, "%08lx",
                crc32(0, reinterpret_cast<const Bytef*>(manifest.data()),
                      static_cast<uInt>(manifest.size())));
  writeFile(dir.path() / "out/update.d/journal",
            "brightwick-journal 1\nscratch .brightwick-pack-x\nput gone - " +
                std::to_string(manifest.size()) + " " + crc +
                " update.dat\ndelete linked/victim.txt\nend\n");
  for (const char* command : {"verify", "publish"}) {
    std::vector<std::string> args{pack.string(), command, "out"};
    if (std::string(command) == "publish") args.insert(args.begin() + 2, "release");
    ProcessResult refused = startWindowsProgram(args)->wait(120s);
    EXPECT_TRUE(refused.exited && refused.exitCode == 1) << refused.output;
    EXPECT_NE(refused.output.find("symbolic link"), std::string::npos) << refused.output;
  }
  EXPECT_EQ(readFile(dir.path() / "outside/victim.txt"), "the studio's");
  EXPECT_TRUE(fileExists(dir.path() / "out/update.d/journal"));
}

// A second updater started in the same folder (a double click) while the
// first is in a transfer: it asks for nothing, starts no game and ends; the
// first finishes and starts the game.
TEST_F(WindowsUpdaterTest, ASecondUpdaterLeavesTheRunToTheFirst) {
  std::string data = makeBytes(40000, 51, true);
  writeFile("a.pak", "old a");
  std::string manifest = publish("a.pak", data);
  served["update.dat"] = ok(manifest);
  std::mutex mutex;
  std::condition_variable changed;
  bool transferring = false, release = false;
  std::atomic<int> asked{0};
  TestHttpServer::Handler files = serveUpdates(served);
  TestHttpServer server([&](const Request& request) {
    ++asked;
    if (nameOfTarget(request.target) == "a.pak") {
      std::unique_lock<std::mutex> lock(mutex);
      transferring = true;
      changed.notify_all();
      changed.wait_for(lock, 120s, [&] { return release; });
    }
    return files(request);
  });
  std::unique_ptr<ChildProcess> first = startUpdater(server);
  bool started;
  {
    std::unique_lock<std::mutex> lock(mutex);
    started = changed.wait_for(lock, 90s, [&] { return transferring; });
    release = !started;
  }
  if (!started) {
    // Seen once, for i686 on a loaded machine: what the first one did instead.
    fs::create_directories(BRIGHTWICK_ARTIFACTS);
    runX({BRIGHTWICK_IMPORT, "-window", "root",
          std::string(BRIGHTWICK_ARTIFACTS) + "/second-updater-" + gTarget.arch + ".png"});
    ProcessResult stuck = first->wait(0ms);
    std::string names;
    for (const std::string& name : requestedNames(server)) names += name + " ";
    FAIL() << "a.pak was never asked for; asked: " << names << "\n" << stuck.output;
  }
  int askedBefore = asked;
  ProcessResult second = startUpdater(server)->wait(90s);
  EXPECT_TRUE(second.exited) << second.output;
  EXPECT_EQ(asked, askedBefore);
  EXPECT_FALSE(fileExists("game-started"));
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  changed.notify_all();
  ProcessResult result = first->wait(120s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(readFile("a.pak"), data);
  EXPECT_TRUE(waitForFile("game-started", 30s));
}

// A game sub-folder that is a link to a folder outside the game: nothing in
// it is read, replaced or created.
TEST_F(WindowsUpdaterTest, ALinkedFolderIsNeitherReadNorWritten) {
  fs::path outside = dir.path().parent_path() / (dir.path().filename().string() + "-outside");
  fs::create_directory(outside);
  struct RemoveOutside {
    fs::path path;
    ~RemoveOutside() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } removeOutside{outside};
  writeFile(outside / "x", "outside x");
  fs::create_directory_symlink(outside, dir.path() / "maps");
  served["update.dat"] =
      ok(publish("maps/x", "replaced through the link") +
         publish("maps/new.pak", "created through the link") + publish("good.bin", "good"));
  TestHttpServer server(serveUpdates(served));
  ProcessResult result = startUpdater(server)->wait(120s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(readFile(outside / "x"), "outside x");
  EXPECT_FALSE(fileExists(outside / "new.pak"));
  EXPECT_EQ(readFile("good.bin"), "good");
  std::vector<std::string> names;
  for (const Request& request : server.requests()) names.push_back(nameOfTarget(request.target));
  EXPECT_EQ(names, (std::vector<std::string>{"update.dat", "good.bin"}));
  EXPECT_EQ(logMessages(),
            (std::vector<std::string>{"Linked Folder:  Error updating maps/x",
                                      "Linked Folder:  Error updating maps/new.pak"}));
  EXPECT_TRUE(waitForFile("game-started", 30s));
}

// A folder signed with the "old" test key, made by the publisher's own
// signing code: the signature file comes first, then the manifest, then only
// the stale file; the serial is kept, in its stored format, for the next run.
TEST_F(WindowsUpdaterTest, ASignedUpdateIsCheckedAndInstalled) {
  std::string fresh = makeBytes(20000, 61, true);
  std::string data = makeBytes(90000, 62, false);
  writeFile("fresh.pak", fresh);
  fs::create_directory("maps");
  writeFile("maps/town.pak", "old town");
  SignedFolder folder;
  folder.add("fresh.pak", fresh);
  folder.add("maps/town.pak", data);
  folder.sign(*testKey("old"), 1765185600);
  TestHttpServer server(serveUpdates(folder.files));

  ProcessResult result = startTestKeysUpdater(server)->wait(120s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(requestedNames(server),
            (std::vector<std::string>{"update.dat.sig", "update.dat", "maps/town.pak"}));
  EXPECT_TRUE(readFile("maps/town.pak") == data);
  EXPECT_EQ(readFile("update.dat"), folder.manifest);
  EXPECT_EQ(readFile("update.state"), "brightwick-state 1\nserial 1765185600\n");
  EXPECT_EQ(logMessages(), std::vector<std::string>{});
  EXPECT_FALSE(fileExists("temp"));
  EXPECT_TRUE(waitForFile("game-started", 30s));
}

// A packed file served with its listed size and a CRC-32 forged to match
// (stored, so it packs to the listed size too): only the SHA-256 the signed
// manifest lists tells it apart. The old file stays and the run goes on.
TEST_F(WindowsUpdaterTest, ASignedUpdateRefusesAFileWithAForgedCrc) {
  std::string real = makeBytes(50000, 63, false);
  std::string forged = withCrc(makeBytes(50000, 64, false), zlibCrc(real));
  ASSERT_EQ(zlibCrc(forged), zlibCrc(real));
  SignedFolder folder;
  folder.add("tdx.pak", real, zlibStream(real, 0));
  folder.add("next.pak", "next");
  folder.sign(*testKey("old"), 1765185600);
  folder.files["tdx.pak"].body = zlibStream(forged, 0);
  ASSERT_EQ(folder.files["tdx.pak"].body.size(), zlibStream(real, 0).size());
  writeFile("tdx.pak", "old tdx");
  TestHttpServer server(serveUpdates(folder.files));

  ProcessResult result = startTestKeysUpdater(server)->wait(120s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(readFile("tdx.pak"), "old tdx");
  EXPECT_EQ(readFile("next.pak"), "next");
  EXPECT_EQ(logMessages(),
            (std::vector<std::string>{"Invalid File Hash:  Error updating tdx.pak",
                                      "Invalid Post-Decompression Size:  Error updating tdx.pak"}));
  EXPECT_FALSE(fileExists("temp"));
  EXPECT_FALSE(fileExists("temp.download"));
  EXPECT_TRUE(waitForFile("game-started", 30s));
}

// Two versions published signed with patches by the publisher's own code;
// a game folder at the first gets the second by its patch: the updater asks
// for the patch and never for the file, and applies it in place.
TEST_F(WindowsUpdaterTest, ASignedUpdateInstallsAChangedFileByItsPatch) {
  // An edit, and an insertion that shifts everything after it.
  std::string first = makeBytes(800000, 71, false);
  std::string second = first;
  second.replace(600000, 4096, makeBytes(4096, 72, false));
  second.insert(200000, makeBytes(20000, 73, false));
  fs::path release = dir.path() / "release", out = dir.path() / "out";
  PublishOptions options;
  options.signingKey = copyTestKey("old", dir.path() / "keys");
  options.deltas = 1;
  for (const std::string* version : {&first, &second}) {
    writeFile(release / "maps" / "big.pak", *version);
    PublishResult published = ::publish(release, out, options);
    ASSERT_TRUE(published.ok) << (published.errors.empty() ? "" : published.errors[0]);
  }
  std::map<std::string, Reply> files = servedFolder(out);
  std::istringstream indexText(files["update.patches"].body);
  PatchIndex index;
  ASSERT_TRUE(readPatchIndex(indexText, &index));
  ASSERT_EQ(index.count("maps/big.pak"), 1u);
  std::string patch = index.find("maps/big.pak")->second.path;
  fs::create_directory("maps");
  writeFile("maps/big.pak", first);
  TestHttpServer server(serveUpdates(files));

  ProcessResult result = startTestKeysUpdater(server)->wait(120s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(requestedNames(server),
            (std::vector<std::string>{"update.dat.sig", "update.dat", "update.patches", patch}));
  EXPECT_TRUE(readFile("maps/big.pak") == second);
  EXPECT_EQ(logMessages(), std::vector<std::string>{});
  EXPECT_FALSE(fileExists("temp"));
  EXPECT_FALSE(fileExists("temp.download"));
  EXPECT_TRUE(waitForFile("game-started", 30s));
}

// Cases that change Windows' proxy settings have a Wine prefix of their own
// (wineprefix-ARCH-proxy), so no other case sees them, and run without
// http_proxy. Wine's WinHTTP reads the settings from the binary value
// Internet Options keep, not from ProxyServer (docs/testing.md): each case
// writes it and removes it after itself.
class WindowsProxyTest : public WindowsUpdaterTest {
 protected:
  static void SetUpTestSuite() { setUpWindows(gTarget.prefix.string() + "-proxy"); }
  void TearDown() override {
    startWindowsProgram({"reg", "delete", kConnections, "/v", "DefaultConnectionSettings", "/f"})
        ->wait(60s);
  }

  // DefaultConnectionSettings: version, counter and flags (1 direct, 2 a
  // proxy server, 4 a configuration script, 8 automatic detection), then the
  // proxy, the bypass list and the script's URL, each after its length.
  void storeProxySettings(std::uint32_t flags, const std::string& proxy, const std::string& bypass,
                          const std::string& script) {
    std::string data;
    auto word = [&](std::uint32_t value) {
      for (int i = 0; i < 4; ++i) data += static_cast<char>((value >> (8 * i)) & 0xff);
    };
    word(0x46);
    word(1);
    word(flags | 1);
    for (const std::string* text : {&proxy, &bypass, &script}) {
      word(static_cast<std::uint32_t>(text->size()));
      data += *text;
    }
    data += std::string(32, '\0');
    std::string hex;
    for (unsigned char byte : data) {
      const char* digits = "0123456789abcdef";
      hex += digits[byte >> 4];
      hex += digits[byte & 15];
    }
    ProcessResult added =
        startWindowsProgram({"reg", "add", kConnections, "/v", "DefaultConnectionSettings", "/t",
                             "REG_BINARY", "/d", hex, "/f"})
            ->wait(60s);
    ASSERT_TRUE(added.exited && added.exitCode == 0) << added.output;
  }

  ProcessResult runUpdaterWithoutHttpProxy() {
    return startWindowsProgram({gTarget.updater.string()})->wait(120s);
  }

  static inline const std::string kConnections =
      "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
};

TEST_F(WindowsProxyTest, TheProxyServerOfTheWindowsSettingsCarriesTheUpdate) {
  std::string data = makeBytes(60000, 81, false);
  writeFile("map.pak", "old map");
  served["update.dat"] = ok(publish("map.pak", data));
  TestHttpServer server(serveUpdates(served));
  // Per scheme, as Internet Options write it when the schemes differ; the
  // bypass list does not name the update server.
  std::string proxy = "127.0.0.1:" + std::to_string(server.port());
  ASSERT_NO_FATAL_FAILURE(
      storeProxySettings(2, "ftp=127.0.0.1:1;http=" + proxy, "<local>;*.example.com", ""));

  ProcessResult result = runUpdaterWithoutHttpProxy();
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(requestedNames(server), (std::vector<std::string>{"update.dat", "map.pak"}));
  EXPECT_TRUE(readFile("map.pak") == data);
  EXPECT_EQ(logMessages(), std::vector<std::string>{});
  EXPECT_TRUE(waitForFile("game-started", 30s));
}

TEST_F(WindowsProxyTest, TheConfigurationScriptNamesTheProxy) {
  std::string data = makeBytes(40000, 82, true);
  writeFile("map.pak", "old map");
  served["update.dat"] = ok(publish("map.pak", data));
  TestHttpServer::Handler files = serveUpdates(served);
  std::atomic<int> port{0};
  TestHttpServer server([&](const Request& request) {
    if (request.target != "/proxy.pac") return files(request);
    return ok("function FindProxyForURL(url, host) { return \"PROXY 127.0.0.1:" +
              std::to_string(port) + "\"; }");
  });
  port = server.port();
  // The script comes before the proxy server, which leads nowhere.
  ASSERT_NO_FATAL_FAILURE(storeProxySettings(
      2 | 4, "127.0.0.1:1", "", "http://127.0.0.1:" + std::to_string(port) + "/proxy.pac"));

  ProcessResult result = runUpdaterWithoutHttpProxy();
  ASSERT_TRUE(result.exited) << result.output;
  std::vector<Request> requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].target, "/proxy.pac");
  EXPECT_EQ(nameOfTarget(requests[1].target), "update.dat");
  EXPECT_EQ(nameOfTarget(requests[2].target), "map.pak");
  EXPECT_TRUE(readFile("map.pak") == data);
  EXPECT_EQ(logMessages(), std::vector<std::string>{});
  EXPECT_TRUE(waitForFile("game-started", 30s));
}

// A proxy that asks every request for a logon and refuses whatever comes:
// one line names it, the files stay, the game starts.
TEST_F(WindowsProxyTest, AProxyThatRefusesTheLogonIsLoggedOnceAndTheGameStarts) {
  writeFile("map.pak", "old map");
  TestHttpServer server([](const Request&) {
    Reply refused;
    refused.status = 407;
    refused.body = "who are you";
    refused.headers = {{"Proxy-Authenticate", "Negotiate"}, {"Proxy-Authenticate", "NTLM"}};
    return refused;
  });
  std::string proxy = "127.0.0.1:" + std::to_string(server.port());
  ASSERT_NO_FATAL_FAILURE(storeProxySettings(2, proxy, "", ""));

  ProcessResult result = runUpdaterWithoutHttpProxy();
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(logMessages(),
            (std::vector<std::string>{"Download Failed (HTTP status 407 from proxy " + proxy +
                                      " set in Internet Options):  Error updating update.dat"}));
  std::size_t asked = server.requests().size();
  EXPECT_GE(asked, 1u);
  EXPECT_LE(asked, static_cast<std::size_t>(kMostProxyRequests));
  EXPECT_EQ(readFile("map.pak"), "old map");
  EXPECT_TRUE(waitForFile("game-started", 30s));
}

// Cases that wait out a bound of a minute doing nothing have a Wine prefix of
// their own (made beside the other), so that CTest runs them beside the
// cases that share the architecture's prefix.
class WindowsLongWaitTest : public WindowsUpdaterTest {
 protected:
  static void SetUpTestSuite() { setUpWindows(gTarget.prefix.string() + "-wait"); }
};

// A server that stops halfway through a file: nobody closes the dialog, and
// the run still ends within the low-speed bound (less than 100 bytes/s for
// 60 s), keeps the old file, says why and starts the game.
TEST_F(WindowsLongWaitTest, AStalledServerEndsTheRunWithinTheBound) {
  std::string data = makeBytes(300000, 52, false);
  std::string packed = zlibStream(data);
  writeFile("big.pak", "old big");
  Reply stall = ok(packed);
  stall.stallAfter = static_cast<std::int64_t>(packed.size() / 2);
  served = {{"update.dat", ok(manifestLine("big.pak", data, packed) + "\n")}, {"big.pak", stall}};
  TestHttpServer server(serveUpdates(served));
  // The deadline only catches a run that would wait for ever.
  ProcessResult result = startUpdater(server)->wait(240s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(readFile("big.pak"), "old big");
  std::vector<std::string> log = logMessages();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0].rfind("Download Failed (Operation too slow", 0), 0u) << log[0];
  EXPECT_TRUE(waitForFile("game-started", 30s));
}

}  // namespace

// "--arch=NAME" (after GoogleTest's own options) picks the architecture.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::string arch;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--arch=", 7) == 0) arch = argv[i] + 7;
  }
  for (const WindowsTarget& target : configuredTargets()) {
    if (target.arch == arch) gTarget = target;
  }
  if (!arch.empty() && gTarget.arch.empty()) {
    std::cerr << "no Windows build configured for " << arch << "\n";
    return 2;
  }
  return RUN_ALL_TESTS();
}
