// Resumed transfers, in process: a listed file's transfer cut at various
// points, run after run, against a loopback server that serves ranges the way
// web servers do, or answers the range request in each way a server may.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>

#include "download/resume.h"
#include "shared/globals.h"
#include "support/http_server.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"

namespace {

using Names = std::vector<std::string>;

struct ResumeTest : ::testing::Test {
  ScopedTempDir dir;
  std::string data = makeBytes(600000, 7, false);
  std::string packed = zlibStream(data);
  std::string line = manifestLine("big.pak", data, packed) + "\n";

  // The file as a web server serves it: ranges, an ETag.
  Reply file(std::int64_t closeAfter = -1) const {
    Reply reply = ok(packed);
    reply.ranges = true;
    reply.etag = "\"v1\"";
    reply.closeAfter = closeAfter;
    return reply;
  }

  struct Run {
    Names asked;
    std::vector<std::string> ranges;  // each file request's Range header
    std::int64_t fileBytes = 0;       // body bytes sent for big.pak
    std::vector<int> positions;       // of the progress bar
  };

  // One run against `big` (the answer to each request for big.pak).
  Run run(const std::function<Reply(const Request&)>& big, const std::string& manifest = "") {
    Run result;
    std::atomic<std::int64_t> manifestBytes{0};
    std::string listed = manifest.empty() ? line : manifest;
    TestHttpServer server([&](const Request& request) {
      if (nameOfTarget(request.target) == "update.dat") {
        manifestBytes += static_cast<std::int64_t>(listed.size());
        return ok(listed);
      }
      return big(request);
    });
    UpdateHarness harness(server.address());
    EXPECT_TRUE(harness.run());
    for (const Request& request : server.requests()) {
      std::string name = nameOfTarget(request.target);
      result.asked.push_back(name);
      if (name == "big.pak") result.ranges.push_back(request.header("Range"));
    }
    result.fileBytes = server.bodyBytesSent() - manifestBytes;
    bool ofFile = false;
    for (const std::string& event : harness.dialog().events()) {
      if (event.rfind("text 2 Updating big.pak", 0) == 0) ofFile = true;
      if (ofFile && event.rfind("pos 1 ", 0) == 0) {
        result.positions.push_back(std::stoi(event.substr(6)));
      }
    }
    return result;
  }

  std::int64_t keptBytes() {
    KeptPart part;
    return findKeptPart(&part) ? part.bytes : -1;
  }
};

TEST_F(ResumeTest, ACutTransferGoesOnWhereItStoppedRunAfterRun) {
  writeFile("big.pak", "old");
  // Each of three runs is cut after another 30% of the file; the fourth
  // finishes it. Every byte is sent once.
  std::int64_t piece = static_cast<std::int64_t>(packed.size() * 3 / 10);
  std::int64_t total = 0;
  for (int cut = 1; cut <= 3; ++cut) {
    SCOPED_TRACE(cut);
    Run r = run([&](const Request&) { return file(piece); });
    total += r.fileBytes;
    EXPECT_EQ(r.ranges, Names{cut == 1 ? "" : "bytes=" + std::to_string(piece * (cut - 1)) + "-"});
    EXPECT_EQ(keptBytes(), piece * cut);
    EXPECT_EQ(readFile("big.pak"), "old");
  }
  Run last = run([&](const Request&) { return file(); });
  total += last.fileBytes;
  // The bar shows the whole file: it goes on from 90%, it does not start
  // again at 0.
  ASSERT_FALSE(last.positions.empty());
  EXPECT_GE(*std::min_element(last.positions.begin(), last.positions.end()), 89);
  EXPECT_EQ(last.positions.back(), 100);
  EXPECT_EQ(last.ranges, Names{"bytes=" + std::to_string(piece * 3) + "-"});
  EXPECT_EQ(readFile("big.pak"), data);
  EXPECT_FALSE(fileExists("temp.partial"));
  EXPECT_FALSE(fileExists("temp.partial.info"));
  EXPECT_GE(total, static_cast<std::int64_t>(packed.size()));
  EXPECT_LE(total, static_cast<std::int64_t>(packed.size()) + 4096);
  // Only the cuts are in the log, each with the pre- and after-check.
  EXPECT_EQ(logMessages().size(), 9u);
}

TEST_F(ResumeTest, EachAnswerToARangeRequestIsTakenForWhatItIs) {
  std::int64_t half = static_cast<std::int64_t>(packed.size() / 2);
  const std::string resumed = "bytes=" + std::to_string(half) + "-";
  struct Case {
    const char* what;
    std::function<Reply(const Request&)> answer;
    Names ranges;  // of the second run's requests
    std::int64_t fileBytes;
  };
  std::int64_t size = static_cast<std::int64_t>(packed.size());
  std::vector<Case> cases = {
      {"206 with the rest", [&](const Request&) { return file(); }, {resumed}, size - half},
      {"200: the range is ignored",
       [&](const Request&) {
         Reply whole = file();
         whole.ranges = false;
         return whole;
       },
       {resumed, ""},
       -1},
      {"416",
       [&](const Request& request) {
         Reply refused = file();
         if (!request.header("Range").empty()) {
           refused.ranges = false;
           refused.status = 416;
           refused.body.clear();
         }
         return refused;
       },
       {resumed, ""},
       size},
      {"a changed entity: If-Range no longer matches",
       [&](const Request&) {
         Reply changed = file();
         changed.etag = "\"v2\"";
         return changed;
       },
       {resumed, ""},
       -1},
      {"206 for the right range of another size",
       [&](const Request& request) {
         Reply wrong = file();
         if (!request.header("Range").empty()) {
           wrong.ranges = false;
           wrong.status = 206;
           wrong.body = packed.substr(static_cast<std::size_t>(half));
           wrong.headers = {
               {"ETag", "\"v1\""},
               {"Content-Range", "bytes " + std::to_string(half) + "-" + std::to_string(size - 1) +
                                     "/" + std::to_string(size + 10)}};
         }
         return wrong;
       },
       {resumed, ""},
       -1},
      {"206 for another range",
       [&](const Request& request) {
         Reply wrong = file();
         if (!request.header("Range").empty()) {
           wrong.ranges = false;
           wrong.status = 206;
           wrong.headers = {{"ETag", "\"v1\""},
                            {"Content-Range",
                             "bytes 0-" + std::to_string(size - 1) + "/" + std::to_string(size)}};
         }
         return wrong;
       },
       {resumed, ""},
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile("big.pak", "old");
    discardPart();
    run([&](const Request&) { return file(half); });
    ASSERT_EQ(keptBytes(), half);
    Run second = run(c.answer);
    EXPECT_EQ(second.ranges, c.ranges);
    if (c.fileBytes >= 0) {
      EXPECT_EQ(second.fileBytes, c.fileBytes);
    }
    // Whatever the answer, the file ends whole and no part is left.
    EXPECT_EQ(readFile("big.pak"), data);
    EXPECT_EQ(keptBytes(), -1);
  }

  // A cut in the middle of the resumed part: the part grows, and the next
  // run finishes it.
  writeFile("big.pak", "old");
  discardPart();
  run([&](const Request&) { return file(half); });
  Run cutAgain = run([&](const Request&) { return file(half / 2); });
  EXPECT_EQ(keptBytes(), half + half / 2);
  run([&](const Request&) { return file(); });
  EXPECT_EQ(readFile("big.pak"), data);
}

TEST_F(ResumeTest, APartIsOnlyEverContinuedForTheSamePublishedFile) {
  std::int64_t half = static_cast<std::int64_t>(packed.size() / 2);
  writeFile("big.pak", "old");
  run([&](const Request&) { return file(half); });
  ASSERT_EQ(keptBytes(), half);

  // The next release lists another big.pak: its transfer starts afresh.
  std::string data2 = makeBytes(500000, 8, false);
  std::string packed2 = zlibStream(data2);
  std::string line2 = manifestLine("big.pak", data2, packed2) + "\n";
  Run next = run(
      [&](const Request&) {
        Reply reply = ok(packed2);
        reply.ranges = true;
        reply.etag = "\"v2\"";
        return reply;
      },
      line2);
  EXPECT_EQ(next.ranges, Names{""});
  EXPECT_EQ(readFile("big.pak"), data2);

  // A part of a file the manifest no longer lists goes once a run has read
  // the whole manifest.
  writeFile("big.pak", "old");
  run([&](const Request&) { return file(half); });
  ASSERT_EQ(keptBytes(), half);
  writeFile("other.bin", "same");
  run([&](const Request&) { return file(); },
      manifestLine("other.bin", "same", zlibStream("same")) + "\n");
  EXPECT_EQ(keptBytes(), -1);
  EXPECT_FALSE(fileExists("temp.partial.info"));

  // A record cut short by a crash (its last line without its newline) is
  // not read, even where what is left still names the file.
  writeFile("big.pak", "old");
  run([&](const Request&) { return file(half); });
  std::string record = readFile("temp.partial.info");
  ASSERT_EQ(record.back(), '\n');
  writeFile("temp.partial.info", record.substr(0, record.size() - 1));
  EXPECT_EQ(keptBytes(), -1);
  writeFile("temp.partial.info", record);
  EXPECT_EQ(keptBytes(), half);
}

TEST_F(ResumeTest, AWholePartIsInstalledWithoutAnotherTransfer) {
  // A run killed between the end of the transfer and the inflation.
  writeFile("big.pak", "old");
  run([&](const Request&) { return file(static_cast<std::int64_t>(packed.size() - 100)); });
  writeFile("temp.partial", packed);
  Run next = run([&](const Request&) { return file(); });
  EXPECT_EQ(next.asked, Names{"update.dat"});
  EXPECT_EQ(readFile("big.pak"), data);
  EXPECT_EQ(keptBytes(), -1);
}

}  // namespace
