// A player closing the dialog at a chosen moment of a run, in process, so
// that ThreadSanitizer watches the stop travel from the dialog's thread to
// the update worker and the download worker: the transfer in hand is
// abandoned or finished, no other entry is started, and every file is its
// old or its new version with no scratch file left.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "download/fetch_ahead.h"
#include "shared/globals.h"
#include "support/http_server.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"

namespace {

using Names = std::vector<std::string>;

struct StopTest : ::testing::TestWithParam<int> {
  ScopedTempDir dir;
};

TEST_P(StopTest, AStopAtAnyRequestEndsTheRunWithWholeFiles) {
  // The stop arrives together with request number `stopAt` (1 is update.dat),
  // while its body is still on the way.
  const std::size_t stopAt = static_cast<std::size_t>(GetParam());
  const Names files = {"a.pak", "maps/b.pak", "c.pak", "d.pak"};
  std::map<std::string, Reply> served;
  std::map<std::string, std::string> fresh;
  std::string manifest;
  for (std::size_t i = 0; i < files.size(); ++i) {
    fresh[files[i]] = makeBytes(300000, static_cast<unsigned>(i + 1), false);
    writeFile(files[i], "old " + files[i]);
    Reply reply;
    reply.body = zlibStream(fresh[files[i]]);
    reply.pieceSize = 16384;
    reply.pieceDelayMs = 2;
    served[files[i]] = reply;
    manifest += manifestLine(files[i], fresh[files[i]], reply.body) + "\n";
  }
  Reply manifestReply;
  manifestReply.body = manifest;
  manifestReply.pieceSize = 64;
  manifestReply.pieceDelayMs = 2;
  served["update.dat"] = manifestReply;

  std::atomic<std::size_t> seen{0};
  TestHttpServer::Handler serve = serveUpdates(served);
  TestHttpServer server([&](const Request& request) {
    if (++seen == stopAt) gStopRequested = true;
    return serve(request);
  });
  UpdateHarness harness(server.address());
  ASSERT_TRUE(harness.run(30000));

  Names asked;
  for (const Request& request : server.requests()) asked.push_back(nameOfTarget(request.target));
  if (kFetchAhead > 1) {
    // Transfers fetched ahead were under way together when the stop came:
    // each file is whole, old or new, each was asked for once at most, and
    // nothing the run fetched ahead is left behind.
    Names once = asked;
    std::sort(once.begin(), once.end());
    EXPECT_EQ(std::unique(once.begin(), once.end()), once.end());
    for (const std::string& name : files) {
      std::string now = readFile(name);
      EXPECT_TRUE(now == fresh[name] || now == "old " + name) << name << " is mixed";
    }
    for (int slot = 0; slot < kAheadFiles; ++slot) EXPECT_FALSE(fileExists(aheadScratchName(slot)));
  } else {
    // Nothing was asked for after the request the stop came with.
    Names expected{"update.dat"};
    for (std::size_t i = 0; i + 1 < stopAt; ++i) expected.push_back(files[i]);
    EXPECT_EQ(asked, expected);
  }
  for (std::size_t i = 0; i < files.size() && kFetchAhead == 1; ++i) {
    std::string now = readFile(files[i]);
    if (i + 2 < stopAt) {
      EXPECT_EQ(now, fresh[files[i]]) << files[i] << " was finished before the stop";
    } else if (i + 2 == stopAt) {
      EXPECT_TRUE(now == fresh[files[i]] || now == "old " + files[i]) << files[i] << " is mixed";
    } else {
      EXPECT_EQ(now, "old " + files[i]) << files[i] << " was not to be touched";
    }
  }
  EXPECT_FALSE(fileExists("temp"));
  EXPECT_FALSE(fileExists("temp.download"));
  EXPECT_EQ(harness.dialog().events().back(), "end 0");
}

INSTANTIATE_TEST_SUITE_P(EveryRequest, StopTest, ::testing::Values(1, 2, 3, 5));

}  // namespace
