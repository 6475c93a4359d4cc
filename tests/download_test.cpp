#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "base/names.h"
#include "download/download_worker.h"
#include "download/fetch.h"
#include "download/progress.h"
#include "platform/thread.h"
#include "shared/base_url.h"
#include "shared/globals.h"
#include "support/http_server.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"
#include "update/manifest.h"

namespace {

// A plain transfer of the listed name `name` into the download scratch file.
FetchRequest requestFor(const std::string& name, std::int64_t limit) {
  FetchRequest request;
  request.urlPath = urlPathOf(name);
  request.shownName = name;
  request.target = kDownloadScratchFile;
  request.limit = limit;
  return request;
}

struct DownloadTest : ::testing::Test {
  ScopedTempDir dir;

  // Fetches `name` from `server` the way the update worker does.
  DownloadOutcome download(TestHttpServer& server, const std::string& name,
                           std::int64_t limit = 1 << 30) {
    UpdateHarness harness(server.address());
    DownloadOutcome outcome = fetch(openDownloadSession(), requestFor(name, limit)).outcome;
    events = harness.dialog().events();
    return outcome;
  }

  std::vector<std::string> events;
};

TEST(ProgressPercent, TruncatesAndStaysInRange) {
  EXPECT_EQ(progressPercent(459, 1000), 45);  // 45.9 %
  EXPECT_EQ(progressPercent(0, 1000), 0);
  EXPECT_EQ(progressPercent(1000, 1000), 100);
  EXPECT_EQ(progressPercent(999999999, 1000000000), 99);
  EXPECT_EQ(progressPercent(5000, 0), 0);  // total not yet known
  EXPECT_EQ(progressPercent(5000, -1), 0);
  EXPECT_EQ(progressPercent(2000, 1000), 100);
}

TEST_F(DownloadTest, StoresACompleteAnswerAndReportsItsProgress) {
  std::string body = makeBytes(300000, 1, false);
  Reply reply;
  reply.body = body;
  reply.pieceSize = 30000;
  reply.pieceDelayMs = 5;
  TestHttpServer server(serveUpdates({{"data/a.pak", reply}}));

  EXPECT_EQ(download(server, "data/a.pak"), DownloadOutcome::complete);
  EXPECT_EQ(readFile(kDownloadScratchFile), body);
  EXPECT_FALSE(fileExists("data/a.pak"));
  EXPECT_TRUE(gDownloadDone);
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].target, std::string(kUpdateBaseUrl) + "data/a.pak");

  // Every report sets the range, then the position, then the status line,
  // with the same truncated percentage, and they never go backwards.
  ASSERT_GE(events.size(), 6u);
  ASSERT_EQ(events.size() % 3, 0u);
  int last = 0;
  for (std::size_t i = 0; i < events.size(); i += 3) {
    EXPECT_EQ(events[i], "range 1 0 100");
    ASSERT_EQ(events[i + 1].rfind("pos 1 ", 0), 0u) << events[i + 1];
    int percent = std::stoi(events[i + 1].substr(6));
    EXPECT_GE(percent, last);
    last = percent;
    EXPECT_EQ(events[i + 2], "text 2 Updating data/a.pak - " + std::to_string(percent) + "%");
  }
  EXPECT_EQ(last, 100);
}

TEST_F(DownloadTest, ErrorAnswersAndRedirectsStoreNothing) {
  Reply notFound;
  notFound.status = 404;
  notFound.body = "<html>missing</html>";
  Reply serverError = notFound;
  serverError.status = 500;
  Reply redirect;
  redirect.status = 302;
  redirect.body = "<html>moved</html>";
  redirect.headers = {{"Location", "http://127.0.0.1:1/elsewhere"}};
  TestHttpServer server(serveUpdates({{"a", notFound}, {"b", serverError}, {"c", redirect}}));
  for (const char* name : {"a", "b", "c"}) {
    EXPECT_EQ(download(server, name), DownloadOutcome::failed) << name;
    EXPECT_FALSE(fileExists(kDownloadScratchFile)) << name;
    EXPECT_TRUE(gDownloadDone);
  }
  // The redirect was not followed.
  EXPECT_EQ(server.requests().size(), 3u);
}

TEST_F(DownloadTest, BrokenTransfersStoreNothing) {
  std::string body = makeBytes(200000, 2, false);
  Reply cut;
  cut.body = body;
  cut.closeAfter = 100000;
  Reply reset = cut;
  reset.reset = true;
  Reply shortBody;
  shortBody.body = body;
  shortBody.announcedLength = 300000;
  TestHttpServer server(serveUpdates({{"cut", cut}, {"reset", reset}, {"short", shortBody}}));
  for (const char* name : {"cut", "reset", "short"}) {
    EXPECT_EQ(download(server, name), DownloadOutcome::failed) << name;
    EXPECT_FALSE(fileExists(kDownloadScratchFile)) << name;
  }
}

TEST_F(DownloadTest, AnUnreachableServerFailsWithoutAFile) {
  int closedPort;
  {
    TestHttpServer probe(serveUpdates({}));
    closedPort = probe.port();
  }
  UpdateHarness harness("http://127.0.0.1:" + std::to_string(closedPort));
  EXPECT_EQ(fetch(openDownloadSession(), requestFor("a", 100)).outcome, DownloadOutcome::failed);
  EXPECT_FALSE(fileExists(kDownloadScratchFile));
  EXPECT_TRUE(gDownloadDone);
}

TEST_F(DownloadTest, BodiesBeyondTheLimitAreRefused) {
  Reply big;
  big.body = makeBytes(4096, 3, false);
  big.repeatTo = 3 << 20;
  Reply endless = big;  // announces little, sends far more
  endless.announcedLength = 1000;
  Reply unannounced = big;  // no length at all: the limit must hold while writing
  unannounced.announcedLength = kNoLength;
  TestHttpServer server(
      serveUpdates({{"big", big}, {"endless", endless}, {"unannounced", unannounced}}));
  EXPECT_EQ(download(server, "big", 1 << 20), DownloadOutcome::failed);
  EXPECT_FALSE(fileExists(kDownloadScratchFile));
  EXPECT_EQ(download(server, "big", 3 << 20), DownloadOutcome::complete);
  EXPECT_EQ(std::filesystem::file_size(kDownloadScratchFile), 3u << 20);
  EXPECT_EQ(download(server, "endless", 1 << 20), DownloadOutcome::complete);
  EXPECT_EQ(std::filesystem::file_size(kDownloadScratchFile), 1000u);
  EXPECT_EQ(download(server, "unannounced", 1 << 20), DownloadOutcome::failed);
  EXPECT_FALSE(fileExists(kDownloadScratchFile));
}

TEST_F(DownloadTest, AScratchFileThatCannotBeCreatedShowsTheMessageBox) {
  // A folder in its place, which remove() cannot take away.
  writeFile(std::string(kDownloadScratchFile) + "/keep", "");
  Reply ok;
  ok.body = "data";
  TestHttpServer server(serveUpdates({{"maps/level 1.pak", ok}}));
  EXPECT_EQ(download(server, "maps/level 1.pak"), DownloadOutcome::notWritten);
  EXPECT_TRUE(gDownloadDone);
  EXPECT_TRUE(server.requests().empty());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0],
            "box Updating Error|Cannot open the file maps/level 1.pak for writing.  The file is "
            "in use.  Please close the game first to prevent this problem.");
}

// Each fresh connection costs a player a round trip before the request: the
// transfers of one run take the connection the last one left open, and a
// server that closes it after an answer gets a fresh one.
TEST_F(DownloadTest, TransfersOfARunReuseTheirConnection) {
  std::map<std::string, Reply> files;
  for (const char* name : {"a", "b", "c", "d"}) files[name].body = makeBytes(5000, name[0], false);
  files["c"].announcedLength = kNoLength;  // the body ends with the connection
  TestHttpServer server(serveUpdates(files));
  server.setKeepAlive(true);
  UpdateHarness harness(server.address());
  const DownloadSession session = openDownloadSession();
  for (const char* name : {"a", "b", "c", "d"}) {
    FetchResult result = fetch(session, requestFor(name, 1 << 20));
    ASSERT_EQ(result.outcome, DownloadOutcome::complete) << name;
    EXPECT_EQ(readFile(kDownloadScratchFile), files[name].body) << name;
  }
  EXPECT_EQ(server.connectionsAccepted(), 2);
  // Another run starts with connections of its own.
  EXPECT_EQ(fetch(openDownloadSession(), requestFor("a", 1 << 20)).outcome,
            DownloadOutcome::complete);
  EXPECT_EQ(server.connectionsAccepted(), 3);
}

TEST_F(DownloadTest, AStopAbandonsAStalledTransfer) {
  Reply stall;
  stall.body = makeBytes(100000, 4, false);
  stall.stallAfter = 1000;
  TestHttpServer server(serveUpdates({{"slow", stall}}));
  UpdateHarness harness(server.address());
  FetchRequest request = requestFor("slow", 1 << 20);
  FetchResult result;
  DownloadSession session = openDownloadSession();
  DownloadJob job{&session, &request, &result};
  gCurrentFile = "slow";
  gDownloadUrl = std::string(kUpdateBaseUrl) + "slow";
  gDownloadDone = false;
  Thread worker = startThread(downloadWorker, &job);
  ASSERT_TRUE(worker);
  ASSERT_TRUE(server.waitForRequests(1, 10000));
  gStopRequested = true;
  // libcurl calls the progress report at least once a second, stalled or not.
  for (int waited = 0; !gDownloadDone && waited < 10000; ++waited) sleepOneMillisecond();
  EXPECT_TRUE(gDownloadDone);
  // A worker that never ended could not be joined: left running.
  if (!gDownloadDone) (void)worker.release();
  EXPECT_EQ(result.outcome, DownloadOutcome::failed);
  EXPECT_FALSE(fileExists(kDownloadScratchFile));
}

}  // namespace
