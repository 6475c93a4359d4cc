// Files fetched ahead of the installation: several transfers at once, a
// stop while they are under way, a server that fails one of them or takes
// one connection at a time, and small files fetched as stretches of a
// bundle, with single files where a server ignores ranges.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "base/names.h"
#include "download/fetch_ahead.h"
#include "pack.h"
#include "shared/globals.h"
#include "support/http_server.h"
#include "support/signed_folder.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"

namespace fs = std::filesystem;

namespace {

using Names = std::vector<std::string>;

Names namesOf(const TestHttpServer& server) {
  Names names;
  for (const Request& request : server.requests()) names.push_back(nameOfTarget(request.target));
  return names;
}

struct FetchAheadTest : ::testing::Test {
  ScopedTempDir root;
  fs::path game = root.path() / "game";
  std::map<std::string, std::string> fresh;  // name -> new content
  std::map<std::string, Reply> served;
  std::string manifest;

  void SetUp() override {
    ASSERT_GT(kFetchAhead, 1) << "these cases need a build that fetches ahead";
    fs::create_directories(game);
    fs::current_path(game);
  }
  void TearDown() override { fs::current_path(root.path()); }

  // `count` stale files, each served in pieces so that transfers overlap.
  void staleFiles(int count, std::size_t size) {
    for (int i = 0; i < count; ++i) {
      std::string name = "f" + std::to_string(i) + ".pak";
      fresh[name] = makeBytes(size, static_cast<unsigned>(100 + i), false);
      writeFile(name, "old " + name);
      Reply reply = ok(zlibStream(fresh[name]));
      reply.pieceSize = 8192;
      reply.pieceDelayMs = 1;
      served[name] = reply;
      manifest += manifestLine(name, fresh[name], reply.body) + "\n";
    }
    served["update.dat"] = ok(manifest);
  }

  bool installed(const std::string& name) { return readFile(name) == fresh[name]; }
};

TEST_F(FetchAheadTest, TransfersOverlapAndAServerFailingOneOfThemTakesOnlyThatFile) {
  staleFiles(8, 200000);
  served["f3.pak"].status = 500;
  TestHttpServer server(serveUpdates(served));
  UpdateHarness harness(server.address());
  ASSERT_TRUE(harness.run());
  for (const auto& [name, content] : fresh) {
    if (name != "f3.pak") {
      EXPECT_TRUE(installed(name)) << name;
    }
  }
  EXPECT_EQ(readFile("f3.pak"), "old f3.pak");
  EXPECT_EQ(logMessages(), (Names{"Download Failed (HTTP status 500):  Error updating f3.pak",
                                  "Invalid Pre-Decompression Size:  Error updating f3.pak",
                                  "Invalid Post-Decompression Size:  Error updating f3.pak"}));
  // More than one answer was in the making at once, and each file was asked
  // for once.
  EXPECT_GT(server.peakAnswers(), 1);
  EXPECT_EQ(settled(namesOf(server), 1), settled({"update.dat", "f0.pak", "f1.pak", "f2.pak",
                                                  "f3.pak", "f4.pak", "f5.pak", "f6.pak", "f7.pak"},
                                                 1));
  for (int slot = 0; slot < kAheadFiles; ++slot) EXPECT_FALSE(fileExists(aheadScratchName(slot)));
}

TEST_F(FetchAheadTest, LargeFilesGoInTurnRatherThanShareTheLine) {
  // Three files of several MiB each: at once they would split the line and
  // hold back the one the run waits for; in turn, each next one starts
  // only near the end of the one before.
  staleFiles(3, 6 << 20);
  TestHttpServer server(serveUpdates(served));
  UpdateHarness harness(server.address());
  ASSERT_TRUE(harness.run());
  for (const auto& [name, content] : fresh) EXPECT_TRUE(installed(name)) << name;
  EXPECT_TRUE(logMessages().empty());
  EXPECT_EQ(server.peakAnswers(), 2);
}

TEST_F(FetchAheadTest, AServerTakingOneConnectionAtATimeStillGetsEveryFile) {
  staleFiles(6, 100000);
  TestHttpServer server(serveUpdates(served));
  server.setMostAnswersAtOnce(1);
  UpdateHarness harness(server.address());
  ASSERT_TRUE(harness.run());
  for (const auto& [name, content] : fresh) EXPECT_TRUE(installed(name)) << name;
  EXPECT_TRUE(logMessages().empty());
  // Some requests were turned away and asked again.
  EXPECT_GT(server.requests().size(), fresh.size() + 1);
}

TEST_F(FetchAheadTest, AStopWhileTransfersAreUnderWayEndsThemAllAndKeepsThePartInHand) {
  staleFiles(5, 300000);
  for (auto& [name, reply] : served) {
    if (name == "update.dat") continue;
    reply.stallAfter = 50000;
    reply.etag = "\"" + name + "\"";
    reply.ranges = true;
  }
  TestHttpServer server(serveUpdates(served));
  UpdateHarness harness(server.address());
  harness.start();
  // Several files are under way at once, and the first has arrived as far
  // as its server lets it (300 KB of noise packs to a little more).
  ASSERT_TRUE(server.waitForRequests(3, 10000));
  ASSERT_TRUE(
      harness.dialog().waitForEvent("text 2 Updating f0.pak - 16%", std::chrono::seconds(10)));
  gStopRequested = true;
  ASSERT_TRUE(harness.finish(10000));
  for (const auto& [name, content] : fresh) EXPECT_EQ(readFile(name), "old " + name) << name;
  for (int slot = 0; slot < kAheadFiles; ++slot) EXPECT_FALSE(fileExists(aheadScratchName(slot)));
  // The transfer of the file in hand is kept for the next run.
  ASSERT_TRUE(fileExists(kPartialRecord));
  EXPECT_NE(readFile(kPartialRecord).find("name f0.pak\n"), std::string::npos);
  // As for a stop in a transfer of the run's own: the file in hand is
  // measured and found wanting, nothing else is said.
  EXPECT_EQ(logMessages(), (Names{"Invalid Pre-Decompression Size:  Error updating f0.pak",
                                  "Invalid Post-Decompression Size:  Error updating f0.pak"}));
}

// Small files of a signed release, as brightwick-pack bundles them.
struct BundleTest : FetchAheadTest {
  fs::path release = root.path() / "release";
  fs::path out = root.path() / "out";
  std::unique_ptr<SecretKey> key = testKey("old");
  RunOptions options;

  void SetUp() override {
    FetchAheadTest::SetUp();
    ASSERT_TRUE(initCrypto());
    options.publicKeys = {key->publicKey()};
    for (int i = 0; i < 40; ++i) {
      std::string name = "small/" + std::to_string(i) + ".txt";
      fresh[name] =
          makeBytes(4000 + 37 * static_cast<std::size_t>(i), static_cast<unsigned>(i), true);
      writeFile(release / name, fresh[name]);
    }
    PublishOptions publishOptions;
    publishOptions.signingKey = copyTestKey("old", root.path() / "keys").string();
    PublishResult result = publish(release, out, publishOptions);
    ASSERT_TRUE(result.ok) << (result.errors.empty() ? "" : result.errors[0]);
  }

  Names update(std::map<std::string, Reply> files) {
    TestHttpServer server(serveUpdates(std::move(files)));
    UpdateHarness harness(server.address(), options);
    EXPECT_TRUE(harness.run());
    return namesOf(server);
  }
};

TEST_F(BundleTest, ChangedSmallFilesArriveAsStretchesOfTheirBundle) {
  // Every other file is stale: the stale ones come as stretches of the
  // bundle, with the current ones between them, in a request or two.
  for (int i = 0; i < 40; i += 2) {
    std::string name = "small/" + std::to_string(i) + ".txt";
    writeFile(name, fresh[name]);
  }
  fs::create_directories("small");
  Names asked = update(servedFolder(out));
  for (const auto& [name, content] : fresh) EXPECT_TRUE(installed(name)) << name;
  EXPECT_TRUE(logMessages().empty());
  ASSERT_GE(asked.size(), 4u);
  EXPECT_EQ((Names{asked.begin(), asked.begin() + 4}),
            (Names{"update.dat.sig", "update.dat", "update.bundles", asked[3]}));
  EXPECT_EQ(asked[3].rfind("update.d/bundles/", 0), 0u) << asked[3];
  EXPECT_LE(asked.size(), 5u);
}

TEST_F(BundleTest, AServerThatIgnoresRangesGetsSingleFilesAsked) {
  for (int i = 1; i < 40; ++i) {
    std::string name = "small/" + std::to_string(i) + ".txt";
    writeFile(name, fresh[name]);
  }
  // Only two files are stale: a stretch of the bundle, which this server
  // answers with the whole bundle, refused unread.
  writeFile("small/0.txt", "old");
  writeFile("small/20.txt", "old");
  std::map<std::string, Reply> files = servedFolder(out);
  for (auto& [name, reply] : files) reply.ranges = false;
  Names asked = update(files);
  EXPECT_TRUE(installed("small/0.txt"));
  EXPECT_TRUE(installed("small/20.txt"));
  EXPECT_TRUE(logMessages().empty());
  EXPECT_NE(std::find(asked.begin(), asked.end(), "small/0.txt"), asked.end());
  EXPECT_NE(std::find(asked.begin(), asked.end(), "small/20.txt"), asked.end());
}

}  // namespace
