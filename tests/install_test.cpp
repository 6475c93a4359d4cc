#include <gtest/gtest.h>

#include <filesystem>

#include "download/fetch_ahead.h"
#include "shared/globals.h"
#include "support/http_server.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"
#include "update/install.h"

namespace {

const std::string kOld = "the old version of the file, which must survive";

struct InstallTest : ::testing::Test {
  ScopedTempDir dir;
  std::string data = makeBytes(200000, 1, true);
  std::string packed = zlibStream(data);

  // Serves `reply` for "game.pak", listed as `line`, over an old local file,
  // and runs the update. Returns the log messages.
  std::vector<std::string> run(const Reply& reply, const std::string& line) {
    writeFile("game.pak", kOld);
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
      if (entry.path().extension() == ".log") std::filesystem::remove(entry.path());
    }
    TestHttpServer server(serveUpdates({{"update.dat", ok(line + "\nnext.bin," + next())},
                                        {"game.pak", reply},
                                        {"next.bin", ok(zlibStream("next"))}}));
    UpdateHarness harness(server.address());
    EXPECT_TRUE(harness.run());
    events = harness.dialog().events();
    // The run always goes on to the next entry.
    EXPECT_EQ(readFile("next.bin"), "next");
    EXPECT_FALSE(fileExists("temp"));
    EXPECT_FALSE(fileExists("temp.download"));
    std::filesystem::remove("next.bin");
    return logMessages();
  }
  static std::string next() {
    std::string packedNext = zlibStream("next");
    return std::to_string(packedNext.size()) + ",4," + crcText("next");
  }
  std::string line() const { return manifestLine("game.pak", data, packed); }

  std::vector<std::string> events;
};

using Names = std::vector<std::string>;
const std::string kPre = "Invalid Pre-Decompression Size:  Error updating game.pak";
const std::string kPost = "Invalid Post-Decompression Size:  Error updating game.pak";
const std::string kBadData = "Invalid Compressed Data:  Error updating game.pak";
const std::string kBadSum = "Invalid Checksum:  Error updating game.pak";
std::string failed(const std::string& why) {
  return "Download Failed (" + why + "):  Error updating game.pak";
}

TEST(MeasuredSize, IsDecimalTextOrMinusOne) {
  ScopedTempDir dir;
  writeFile("five", "12345");
  writeFile("empty", "");
  EXPECT_EQ(measuredSize("five"), "5");
  EXPECT_EQ(measuredSize("empty"), "0");
  EXPECT_EQ(measuredSize("absent"), "-1");
  writeFile("big", std::string(1234567, 'x'));
  EXPECT_EQ(measuredSize("big"), "1234567");  // never "1,234,567"
}

TEST(SizeBound, AllowsTheListedSizePlusSlack) {
  EXPECT_EQ(sizeBound(1000), 1000 + kSizeSlack);
  EXPECT_EQ(sizeBound(0), kSizeSlack);
  EXPECT_EQ(sizeBound(-5), kSizeSlack);
  EXPECT_EQ(sizeBound(INT32_MAX), INT32_MAX + kSizeSlack);
}

TEST_F(InstallTest, AGoodFileReplacesTheOldOneWithoutALogLine) {
  EXPECT_EQ(run(ok(packed), line()), Names{});
  EXPECT_EQ(readFile("game.pak"), data);
}

TEST_F(InstallTest, SizesAreComparedAsText) {
  // A leading zero makes the texts differ although the numbers agree: the
  // line is logged, yet the file is installed and the after-check passes.
  std::string zeroPacked = "game.pak,0" + std::to_string(packed.size()) + "," +
                           std::to_string(data.size()) + "," + crcText(data);
  EXPECT_EQ(run(ok(packed), zeroPacked), Names{kPre});
  EXPECT_EQ(readFile("game.pak"), data);

  std::string plusUnpacked = "game.pak," + std::to_string(packed.size()) + ",+" +
                             std::to_string(data.size()) + "," + crcText(data);
  EXPECT_EQ(run(ok(packed), plusUnpacked), Names{kPost});
  EXPECT_EQ(readFile("game.pak"), data);
}

TEST_F(InstallTest, FailedTransfersKeepTheOldFile) {
  Reply notFound;
  notFound.status = 404;
  Reply cut = ok(packed);
  cut.closeAfter = static_cast<std::int64_t>(packed.size() / 2);
  Reply reset = cut;
  reset.reset = true;
  Reply overAnnounced = ok(packed);
  overAnnounced.announcedLength = static_cast<std::int64_t>(packed.size() + 1000);
  Reply redirect = ok("<html><body>Moved</body></html>");
  redirect.status = 302;
  redirect.headers = {{"Location", "http://127.0.0.1:1/portal"}};
  for (const Reply& reply : {notFound, cut, reset, overAnnounced, redirect}) {
    // The log says why; the pre-check measures the missing download as "-1";
    // the after-check finds the old file, whose size differs from the
    // listed one.
    Names log = run(reply, line());
    ASSERT_EQ(log.size(), 3u) << reply.status;
    EXPECT_EQ(log[0].rfind("Download Failed (", 0), 0u) << log[0];
    if (reply.status != 200) {
      EXPECT_EQ(log[0], failed("HTTP status " + std::to_string(reply.status)));
    }
    EXPECT_EQ(Names(log.begin() + 1, log.end()), (Names{kPre, kPost})) << reply.status;
    EXPECT_EQ(readFile("game.pak"), kOld);
  }
}

TEST_F(InstallTest, OnlyTheExactListedContentReplacesAFile) {
  // Complete streams of other bytes: a forged or mixed-up file of the listed
  // size, and one of another size. Neither is installed.
  std::string other = makeBytes(data.size(), 9, true);
  std::string packedOther = zlibStream(other);
  std::string listed = "game.pak," + std::to_string(packedOther.size()) + "," +
                       std::to_string(data.size()) + "," + crcText(data);
  EXPECT_EQ(run(ok(packedOther), listed), (Names{kBadSum, kPost}));
  EXPECT_EQ(readFile("game.pak"), kOld);

  std::string longer = data + "tail";
  std::string packedLonger = zlibStream(longer);
  listed = "game.pak," + std::to_string(packedLonger.size()) + "," + std::to_string(data.size()) +
           "," + crcText(data);
  EXPECT_EQ(run(ok(packedLonger), listed), (Names{kBadSum, kPost}));
  EXPECT_EQ(readFile("game.pak"), kOld);
}

TEST_F(InstallTest, DataThatDoesNotInflateKeepsTheOldFile) {
  std::string corrupt = packed;
  corrupt[corrupt.size() / 2] ^= 0x20;
  std::string portal = "<html><body>Please log in to the hotel Wi-Fi</body></html>";
  const std::string bodies[] = {corrupt, packed.substr(0, packed.size() - 10), portal};
  for (const std::string& body : bodies) {
    std::string listed = "game.pak," + std::to_string(body.size()) + "," +
                         std::to_string(data.size()) + "," + crcText(data);
    EXPECT_EQ(run(ok(body), listed), (Names{kBadData, kPost}));
    EXPECT_EQ(readFile("game.pak"), kOld);
  }
}

TEST_F(InstallTest, AStreamThatInflatesFarBeyondItsListedSizeIsRefused) {
  std::string bomb = zlibStream(std::string(64 << 20, 'A'));
  std::string listed = "game.pak," + std::to_string(bomb.size()) + ",1000,0";
  EXPECT_EQ(run(ok(bomb), listed), (Names{kBadData, kPost}));
  EXPECT_EQ(readFile("game.pak"), kOld);
}

TEST_F(InstallTest, ABodyFarBeyondItsListedSizeIsRefused) {
  Reply endless = ok(makeBytes(65536, 2, false));
  endless.repeatTo = 8 << 20;
  endless.announcedLength = kNoLength;
  std::string listed = "game.pak,100,100,0";
  EXPECT_EQ(run(endless, listed), (Names{failed("more bytes than listed"), kPre, kPost}));
  EXPECT_EQ(readFile("game.pak"), kOld);
}

TEST_F(InstallTest, AFileThatCannotBeReplacedShowsTheMessageBoxAndStays) {
  // A folder where the file should be cannot be replaced by a file.
  TestHttpServer server(
      serveUpdates({{"update.dat", ok(manifestLine("saves", data, packed) + "\n" +
                                      manifestLine("nodir/x.pak", data, packed) + "\n")},
                    {"saves", ok(packed)},
                    {"nodir/x.pak", ok(packed)}}));
  std::filesystem::create_directory("saves");
  writeFile("saves/slot1", "progress");
  UpdateHarness harness(server.address());
  ASSERT_TRUE(harness.run());
  Names boxes = harness.dialog().eventsStartingWith("box ");
  const std::string tail =
      " for writing.  The file is in use.  Please close the game first to prevent this problem.";
  EXPECT_EQ(boxes, (Names{"box Updating Error|Cannot open the file saves" + tail}));
  EXPECT_EQ(readFile("saves/slot1"), "progress");
  // A missing folder is no file in use: it is made.
  EXPECT_TRUE(readFile("nodir/x.pak") == data);
  EXPECT_EQ(logMessages(), (Names{"Invalid Post-Decompression Size:  Error updating saves"}));
}

TEST_F(InstallTest, AStopDuringATransferAbandonsItAndEndsTheRun) {
  Reply stall = ok(packed);
  stall.stallAfter = 1000;
  writeFile("game.pak", kOld);
  TestHttpServer server(
      serveUpdates({{"update.dat", ok(line() + "\nnext.bin,1,2,3\n")}, {"game.pak", stall}}));
  UpdateHarness harness(server.address());
  harness.start();
  ASSERT_TRUE(server.waitForRequests(2, 10000));
  gStopRequested = true;
  ASSERT_TRUE(harness.finish(10000));
  EXPECT_EQ(readFile("game.pak"), kOld);
  // next.bin is never installed; the classic run never even asks for it,
  // one that fetches ahead may have asked before the stop.
  if (kFetchAhead == 1) {
    EXPECT_EQ(server.requests().size(), 2u);
  }
  EXPECT_FALSE(fileExists("next.bin"));
  EXPECT_FALSE(fileExists("temp.download"));
}

}  // namespace
