// The real brightwick-updater binary, run headless in a temporary game
// folder against a loopback server.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include "support/http_server.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"

namespace {

using namespace std::chrono_literals;

std::map<std::string, std::string> headless(const TestHttpServer& server) {
  return {{"http_proxy", server.address()},
          {"no_proxy", ""},
          {"NO_PROXY", ""},
          {"DISPLAY", ""},
          {"WAYLAND_DISPLAY", ""}};
}

struct UpdaterTest : ::testing::Test {
  ScopedTempDir dir;
  std::map<std::string, Reply> served;

  std::string publish(const std::string& name, const std::string& data) {
    std::string packed = zlibStream(data);
    served[name] = ok(packed);
    return manifestLine(name, data, packed) + "\n";
  }

  ProcessResult runUpdater(TestHttpServer& server) {
    return runProcess({BRIGHTWICK_UPDATER}, dir.path().string(), headless(server), 60s);
  }
};

TEST_F(UpdaterTest, UpdatesTheGameFolderAndStartsTheGame) {
  installStandInGame();
  std::string fresh = makeBytes(40000, 1, true);
  std::string stale = makeBytes(90000, 2, false);
  std::string added = makeBytes(300000, 3, true);
  writeFile("fresh.pak", fresh);
  writeFile("maps/stale.pak", "old map");
  std::string manifest = publish("fresh.pak", fresh) + publish("maps/stale.pak", stale) +
                         publish("sounds/new.wav", added);
  std::filesystem::create_directory("sounds");
  served["update.dat"] = ok(manifest);
  TestHttpServer server(serveUpdates(served));

  ProcessResult result = runUpdater(server);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(readFile("fresh.pak"), fresh);
  EXPECT_EQ(readFile("maps/stale.pak"), stale);
  EXPECT_EQ(readFile("sounds/new.wav"), added);
  EXPECT_EQ(readFile("update.dat"), manifest);
  EXPECT_TRUE(logMessages().empty());
  EXPECT_FALSE(fileExists("temp"));
  EXPECT_FALSE(fileExists("temp.download"));
  ASSERT_TRUE(waitForFile("game-started", 10s));
  EXPECT_EQ(readFile("game-started"), dir.path().string() + "\n");
  // The terminal stand-in showed the last file's progress.
  EXPECT_NE(result.output.find("Updating sounds/new.wav - 100%"), std::string::npos)
      << result.output;
  EXPECT_EQ(server.requests().size(), 3u);
}

TEST_F(UpdaterTest, WritesTheLogLinesOfAFailedRun) {
  installStandInGame();
  std::string data = makeBytes(50000, 4, true);
  std::string packed = zlibStream(data);
  writeFile("kept.pak", "old");
  writeFile("zero.pak", "old");
  std::string corrupt = packed;
  corrupt[100] ^= 0x40;
  served["update.dat"] =
      ok("kept.pak," + std::to_string(packed.size()) + "," + std::to_string(data.size()) + "," +
         crcText(data) + "\n" + "zero.pak,0" + std::to_string(packed.size()) + "," +
         std::to_string(data.size()) + "," + crcText(data) + "\n" + "short line\n");
  served["kept.pak"] = ok(corrupt);
  served["zero.pak"] = ok(packed);
  TestHttpServer server(serveUpdates(served));

  ProcessResult result = runUpdater(server);
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(readFile("kept.pak"), "old");
  EXPECT_EQ(readFile("zero.pak"), data);
  EXPECT_EQ(logMessages(),
            (std::vector<std::string>{"Invalid Compressed Data:  Error updating kept.pak",
                                      "Invalid Post-Decompression Size:  Error updating kept.pak",
                                      "Invalid Pre-Decompression Size:  Error updating zero.pak",
                                      "Invalid Manifest Line:  Error updating short line"}));
  EXPECT_TRUE(waitForFile("game-started", 10s));
}

TEST_F(UpdaterTest, FailuresKeepTheOldFiles) {
  installStandInGame();
  std::string data = makeBytes(120000, 5, false);
  std::string packed = zlibStream(data);
  std::string listed =
      "," + std::to_string(packed.size()) + "," + std::to_string(data.size()) + "," + crcText(data);
  Reply missing;
  missing.status = 404;
  Reply dropped = ok(packed);
  dropped.closeAfter = 50000;
  Reply truncated = ok(packed.substr(0, packed.size() - 500));
  std::string manifest;
  for (const char* name : {"missing.pak", "dropped.pak", "truncated.pak"}) {
    writeFile(name, std::string("old ") + name);
    manifest += name + listed + "\n";
  }
  served = {{"update.dat", ok(manifest)},
            {"missing.pak", missing},
            {"dropped.pak", dropped},
            {"truncated.pak", truncated}};
  TestHttpServer server(serveUpdates(served));
  ProcessResult result = runUpdater(server);
  ASSERT_TRUE(result.exited);
  for (const char* name : {"missing.pak", "dropped.pak", "truncated.pak"}) {
    EXPECT_EQ(readFile(name), std::string("old ") + name);
  }
  EXPECT_EQ(server.requests().size(), 4u);
  EXPECT_TRUE(waitForFile("game-started", 10s));
}

TEST_F(UpdaterTest, AnUnreachableServerStillStartsTheGame) {
  installStandInGame();
  int closedPort;
  {
    TestHttpServer probe(serveUpdates({}));
    closedPort = probe.port();
  }
  writeFile("game.pak", "old");
  ProcessResult result =
      runProcess({BRIGHTWICK_UPDATER}, dir.path().string(),
                 {{"http_proxy", "http://127.0.0.1:" + std::to_string(closedPort)},
                  {"DISPLAY", ""},
                  {"WAYLAND_DISPLAY", ""}},
                 60s);
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(waitForFile("game-started", 10s));
  EXPECT_EQ(readFile("game.pak"), "old");
  EXPECT_EQ(readFile("update.dat"), "");
}

TEST_F(UpdaterTest, AMissingGameIsSilent) {
  served["update.dat"] = ok("");
  TestHttpServer server(serveUpdates(served));
  ProcessResult result = runUpdater(server);
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(logMessages().empty());
}

TEST_F(UpdaterTest, CtrlCStartsTheGameAtOnceAndEndsTheProcess) {
  installStandInGame();
  std::string data = makeBytes(500000, 6, false);
  std::string packed = zlibStream(data);
  writeFile("big.pak", "old");
  Reply stall = ok(packed);
  stall.stallAfter = 10000;
  served = {{"update.dat", ok(manifestLine("big.pak", data, packed) + "\n")}, {"big.pak", stall}};
  TestHttpServer server(serveUpdates(served));
  ChildProcess updater({BRIGHTWICK_UPDATER}, dir.path().string(), headless(server));
  ASSERT_TRUE(server.waitForRequests(2, 20000));
  auto pressed = std::chrono::steady_clock::now();
  updater.signal(SIGINT);
  ASSERT_TRUE(waitForFile("game-started", 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - pressed, 3s);
  ProcessResult result = updater.wait(15s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(readFile("big.pak"), "old");
  EXPECT_FALSE(fileExists("temp.download"));
}

TEST_F(UpdaterTest, ClosingTheTerminalActsLikeTheCloseBox) {
  installStandInGame();
  Reply stall = ok(zlibStream(makeBytes(100000, 7, false)));
  stall.stallAfter = 100;
  served = {{"update.dat", ok("a.pak,1,2,3\n")}, {"a.pak", stall}};
  TestHttpServer server(serveUpdates(served));
  ChildProcess updater({BRIGHTWICK_UPDATER}, dir.path().string(), headless(server));
  ASSERT_TRUE(server.waitForRequests(2, 20000));
  updater.signal(SIGHUP);
  EXPECT_TRUE(waitForFile("game-started", 5s));
  ProcessResult result = updater.wait(15s);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exitCode, 0);
}

}  // namespace
