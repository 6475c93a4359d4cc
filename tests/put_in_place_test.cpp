// The last step of an installation, in process: the folders a release adds,
// and the updater's own file, known by the file and not by its name.

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/running_program.h"
#include "support/http_server.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

struct PutInPlaceTest : ::testing::Test {
  ScopedTempDir dir;
  std::map<std::string, Reply> served;
  Names boxes;
  Names asked;

  std::string publish(const std::string& name, const std::string& data) {
    std::string packed = zlibStream(data);
    served[name].body = packed;
    return manifestLine(name, data, packed) + "\n";
  }

  // Runs an update with `updater` as the file the updater runs from (none
  // if empty); the log's messages.
  Names run(const std::string& updater = "") {
    RunOptions options;
    if (!updater.empty()) options.updaterFile = gameFileIdentity(updater);
    TestHttpServer server(serveUpdates(served));
    UpdateHarness harness(server.address(), options);
    EXPECT_TRUE(harness.run());
    boxes = harness.dialog().eventsStartingWith("box ");
    asked.clear();
    for (const Request& request : server.requests()) asked.push_back(nameOfTarget(request.target));
    EXPECT_FALSE(fileExists("temp"));
    return logMessages();
  }
};

TEST_F(PutInPlaceTest, AReleaseThatAddsFoldersGetsThemInOneRunAndAFailedOneMakesNone) {
  std::string added = makeBytes(30000, 1, true);
  std::string manifest = publish("dlc/maps/added.txt", added) + publish("dlc/readme", "read me") +
                         publish("gone/x.pak", "never served");
  served.erase("gone/x.pak");
  served["update.dat"].body = manifest;
  EXPECT_EQ(run(), (Names{"Download Failed (HTTP status 404):  Error updating gone/x.pak",
                          "Invalid Pre-Decompression Size:  Error updating gone/x.pak",
                          "Invalid Post-Decompression Size:  Error updating gone/x.pak"}));
  EXPECT_TRUE(readFile("dlc/maps/added.txt") == added);
  EXPECT_EQ(readFile("dlc/readme"), "read me");
  EXPECT_FALSE(fileExists("gone"));
  EXPECT_EQ(boxes, Names{});
}

TEST_F(PutInPlaceTest, AFolderNameTakenByAFileIsLoggedAndSkippedWithoutTheMessageBox) {
  writeFile("mods", "a file where the release has a folder");
  served["update.dat"].body =
      publish("mods/extra/x.pak", "extra") + publish("after.pak", "the run goes on");
  EXPECT_EQ(run(), (Names{"Cannot Create Folder:  Error updating mods/extra/x.pak",
                          "Invalid Post-Decompression Size:  Error updating mods/extra/x.pak"}));
  EXPECT_EQ(readFile("mods"), "a file where the release has a folder");
  EXPECT_EQ(readFile("after.pak"), "the run goes on");
  EXPECT_EQ(boxes, Names{});
}

TEST_F(PutInPlaceTest, TheUpdatersFileIsSetAsideWhateverItsNameAndTheNextRunDeletesIt) {
  writeFile("bin/Launcher.exe", "the updater that runs");
  writeFile("tdx.exe", "old game");
  std::string next = makeBytes(50000, 2, false);
  served["update.dat"].body = publish("bin/Launcher.exe", next) + publish("tdx.exe", "new game");
  EXPECT_EQ(run("bin/Launcher.exe"), Names{});
  EXPECT_EQ(boxes, Names{});
  EXPECT_TRUE(readFile("bin/Launcher.exe") == next);
  EXPECT_EQ(readFile("temp.updater-old"), "the updater that runs");
  EXPECT_EQ(readFile("tdx.exe"), "new game");

  EXPECT_EQ(run("bin/Launcher.exe"), Names{});
  EXPECT_FALSE(fileExists("temp.updater-old"));
  EXPECT_EQ(asked, Names{"update.dat"});
}

}  // namespace
