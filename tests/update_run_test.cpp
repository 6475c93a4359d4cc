#include <gtest/gtest.h>

#include <sys/stat.h>
#include <algorithm>

#include <filesystem>

#include "shared/globals.h"
#include "support/http_server.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"

namespace {

struct UpdateRunTest : ::testing::Test {
  ScopedTempDir dir;
  std::map<std::string, Reply> served;

  // Publishes `data` as `name` and returns its manifest line.
  std::string publish(const std::string& name, const std::string& data) {
    std::string packed = zlibStream(data);
    served[name] = ok(packed);
    return manifestLine(name, data, packed);
  }

  // Runs the update against what was published with `manifest`; returns the
  // names the updater asked for, manifest first.
  std::vector<std::string> update(const std::string& manifest) {
    served["update.dat"] = ok(manifest);
    TestHttpServer server(serveUpdates(served));
    UpdateHarness harness(server.address());
    EXPECT_TRUE(harness.run());
    events = harness.dialog().events();
    std::vector<std::string> names;
    for (const Request& request : server.requests()) names.push_back(nameOfTarget(request.target));
    // Files fetched ahead are asked for in no fixed order.
    return inManifestOrder(names, manifest, 1);
  }

  std::vector<std::string> events;
};

using Names = std::vector<std::string>;

TEST_F(UpdateRunTest, InstallsStaleAndMissingFilesOnly) {
  std::string fresh = makeBytes(5000, 1, true);
  std::string current = makeBytes(7000, 2, false);
  std::string old = makeBytes(7000, 3, false);  // same length, other bytes
  std::string grown = makeBytes(9000, 4, true);
  writeFile("fresh.dat", fresh);
  writeFile("data/changed.pak", old);
  writeFile("longer.txt", grown.substr(0, 100));
  std::string manifest = publish("fresh.dat", fresh) + "\n" + publish("data/changed.pak", current) +
                         "\n" + publish("longer.txt", grown) + "\n" +
                         publish("data/new.bin", makeBytes(3000, 5, false)) + "\n";

  Names asked = update(manifest);
  EXPECT_EQ(asked, (Names{"update.dat", "data/changed.pak", "longer.txt", "data/new.bin"}));
  EXPECT_EQ(readFile("fresh.dat"), fresh);
  EXPECT_EQ(readFile("data/changed.pak"), current);
  EXPECT_EQ(readFile("longer.txt"), grown);
  EXPECT_EQ(readFile("data/new.bin"), makeBytes(3000, 5, false));
  EXPECT_EQ(readFile("update.dat"), manifest);  // left on disk
  EXPECT_TRUE(logMessages().empty());
  EXPECT_FALSE(fileExists("temp"));
  EXPECT_FALSE(fileExists("temp.download"));
  EXPECT_EQ(events.back(), "end 0");
  // A second run finds everything current.
  EXPECT_EQ(update(manifest), Names{"update.dat"});
}

TEST_F(UpdateRunTest, ShowsEachFileBeforeItsDownload) {
  std::string a = publish("a.bin", makeBytes(100000, 6, false));
  std::string b = publish("b.bin", makeBytes(100000, 7, false));
  update(a + "\n" + b + "\n");
  std::vector<std::string> texts;
  for (const std::string& event : events) {
    if (event.rfind("text 2 ", 0) == 0) texts.push_back(event.substr(7));
  }
  auto at = [&](const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) - texts.begin();
  };
  // The manifest's own transfer is shown under its name too.
  EXPECT_LT(at("Updating update.dat - 100%"), at("Updating a.bin - 0%"));
  EXPECT_LT(at("Updating a.bin - 0%"), at("Updating a.bin - 100%"));
  EXPECT_LT(at("Updating a.bin - 100%"), at("Updating b.bin - 0%"));
  EXPECT_EQ(texts.back(), "Updating b.bin - 100%");
}

TEST_F(UpdateRunTest, ChecksumsCompareAs32BitPatterns) {
  // Find data whose CRC has the top bit set.
  std::string data;
  for (unsigned seed = 10;; ++seed) {
    data = makeBytes(2000, seed, false);
    if (crcText(data)[0] == '-') break;
  }
  writeFile("signed.bin", data);
  writeFile("unsigned.bin", data);
  std::uint32_t crc = static_cast<std::uint32_t>(std::stoll(crcText(data)));
  std::string packed = zlibStream(data);
  served["signed.bin"] = ok(packed);
  served["unsigned.bin"] = ok(packed);
  std::string size = std::to_string(data.size());
  std::string manifest = "signed.bin," + std::to_string(packed.size()) + "," + size + "," +
                         crcText(data) + "\nunsigned.bin," + std::to_string(packed.size()) + "," +
                         size + "," + std::to_string(crc) + "\n";
  // Written unsigned it reads as 2147483647 and never matches.
  EXPECT_EQ(update(manifest), (Names{"update.dat", "unsigned.bin"}));
  EXPECT_EQ(readFile("unsigned.bin"), data);
}

TEST_F(UpdateRunTest, NumbersAreReadLikeStrtol) {
  std::string data = makeBytes(1234, 20, true);
  writeFile("a", data);
  writeFile("b", data);
  writeFile("c", "");
  std::string crc = crcText(data);
  served["a"] = served["b"] = served["c"] = ok(zlibStream(data));
  std::string manifest = "a,1,  +1234,  " + crc + "xyz\n" +  // blanks, sign and tail accepted
                         "b,1,1234junk," + crc + ",extra,fields\n" +
                         "c,1,,\n";  // an empty file: no digits read as 0, and CRC 0
  EXPECT_EQ(update(manifest), Names{"update.dat"});
}

TEST_F(UpdateRunTest, CrLfManifestsAndEmptyLinesGiveTheSameEntries) {
  std::string a = publish("a.bin", makeBytes(500, 21, true));
  std::string b = publish("b.bin", makeBytes(600, 22, true));
  EXPECT_EQ(update("\r\n" + a + "\r\n\r\n\n" + b + "\r\n\r\n"),
            (Names{"update.dat", "a.bin", "b.bin"}));
  EXPECT_EQ(readFile("b.bin"), makeBytes(600, 22, true));
  EXPECT_TRUE(logMessages().empty());
}

TEST_F(UpdateRunTest, EmptyOrFailedManifestsEndTheRunAtOnce) {
  for (const std::string manifest : {"", "\n\n\r\n"}) {
    EXPECT_EQ(update(manifest), Names{"update.dat"});
    EXPECT_EQ(events.back(), "end 0");
    for (const std::string& event : events) {
      if (event.rfind("text", 0) == 0) {
        EXPECT_EQ(event.rfind("text 2 Updating update.dat - ", 0), 0u) << event;
      }
    }
  }
  served.erase("update.dat");
  TestHttpServer server(serveUpdates({}));  // 404 for everything
  UpdateHarness harness(server.address());
  writeFile("update.dat", "stale.bin,1,2,3\n");
  ASSERT_TRUE(harness.run());
  // An error answer leaves an empty manifest: nothing else is asked for.
  // The log and the status line say why.
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_TRUE(fileExists("update.dat"));
  EXPECT_EQ(readFile("update.dat"), "");
  const std::string why = "Download Failed (HTTP status 404):  Error updating update.dat";
  EXPECT_EQ(logMessages(), Names{why});
  EXPECT_EQ(harness.dialog().eventsStartingWith("text 2 ").back(), "text 2 " + why);
}

TEST_F(UpdateRunTest, AnUnreachableServerStillEndsTheDialog) {
  int closedPort;
  {
    TestHttpServer probe(serveUpdates({}));
    closedPort = probe.port();
  }
  writeFile("game.pak", "old");
  UpdateHarness harness("http://127.0.0.1:" + std::to_string(closedPort));
  ASSERT_TRUE(harness.run());
  EXPECT_EQ(harness.dialog().events().back(), "end 0");
  EXPECT_EQ(readFile("game.pak"), "old");
  // libcurl's words for it ("Failed to connect to 127.0.0.1 port ...").
  Names log = logMessages();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("Download Failed (Failed to connect to 127.0.0.1", 0), 0u) << log[0];
}

TEST_F(UpdateRunTest, AManifestThatCannotBeWrittenIsNeverReadStale) {
  // A folder where update.dat goes: the new manifest cannot be put there,
  // and what is there is not read as one.
  writeFile("update.dat/keep", "");
  writeFile("a.bin", "old");
  EXPECT_EQ(update(publish("a.bin", "new") + "\n"), Names{"update.dat"});
  Names boxes;
  for (const std::string& event : events) {
    if (event.rfind("box ", 0) == 0) boxes.push_back(event);
  }
  EXPECT_EQ(boxes, Names{"box Updating Error|Cannot open the file update.dat for writing.  The "
                         "file is in use.  Please close the game first to prevent this problem."});
  EXPECT_EQ(logMessages(), Names{"Unable to open update.dat"});
  EXPECT_EQ(readFile("a.bin"), "old");
  EXPECT_TRUE(fileExists("update.dat/keep"));
  EXPECT_EQ(events.back(), "end 0");
}

TEST_F(UpdateRunTest, ScratchNamesTakenByFoldersOrSpecialFilesAreReported) {
  // A folder, even an empty one, is never removed, and nothing can be
  // installed with it in the way; a FIFO or link is reported, removed and
  // the run goes on.
  writeFile("a.bin", "old");
  std::string line = publish("a.bin", "new") + "\n";
  Names expected;
  for (const char* scratch : {"temp", "temp.download"}) {
    std::filesystem::create_directory(scratch);
    EXPECT_EQ(update(line), Names{}) << scratch;
    EXPECT_TRUE(std::filesystem::is_directory(scratch));
    writeFile(std::string(scratch) + "/keep", "kept");
    EXPECT_EQ(update(line), Names{}) << scratch;
    EXPECT_EQ(readFile(std::string(scratch) + "/keep"), "kept");
    EXPECT_EQ(readFile("a.bin"), "old");
    std::filesystem::remove_all(scratch);
    expected.insert(expected.end(), 2,
                    std::string("Invalid Scratch File:  Error updating ") + scratch);
  }
  ASSERT_EQ(mkfifo("temp", 0600), 0);
  std::filesystem::create_symlink("a.bin", "temp.download");
  EXPECT_EQ(update(line), (Names{"update.dat", "a.bin"}));
  EXPECT_EQ(readFile("a.bin"), "new");
  EXPECT_FALSE(fileExists("temp"));
  expected.push_back("Invalid Scratch File:  Error updating temp");
  expected.push_back("Invalid Scratch File:  Error updating temp.download");
  EXPECT_EQ(logMessages(), expected);
}

TEST_F(UpdateRunTest, TheLogKeepsAThousandEntriesARunAndCountsTheRest) {
  std::string manifest;
  for (int i = 0; i < 1500; ++i) manifest += "junk " + std::to_string(i) + "\n";
  manifest += publish("last.bin", "the last entry") + "\n";
  EXPECT_EQ(update(manifest), (Names{"update.dat", "last.bin"}));
  EXPECT_EQ(readFile("last.bin"), "the last entry");
  Names log = logMessages();
  ASSERT_EQ(log.size(), 1001u);
  EXPECT_EQ(log[999], "Invalid Manifest Line:  Error updating junk 999");
  EXPECT_EQ(log[1000], "Too Many Log Entries:  500 more were dropped");
  // The limit is per run.
  update("junk\n");
  EXPECT_EQ(logMessages().back(), "Invalid Manifest Line:  Error updating junk");
}

TEST_F(UpdateRunTest, MalformedLinesAndUnsafeNamesAreSkippedAndLogged) {
  std::string good = publish("good.bin", makeBytes(100, 23, true));
  std::string manifest =
      "only,three,fields\n,1,2,3\n../escape.txt,1,2,3\n"
      "C:\\windows\\x.dll,1,2,3\n" +
      good + "\n";
  served["../escape.txt"] = ok(zlibStream("evil"));
  EXPECT_EQ(update(manifest), (Names{"update.dat", "good.bin"}));
  EXPECT_EQ(logMessages(), (Names{"Invalid Manifest Line:  Error updating only,three,fields",
                                  "Invalid Manifest Line:  Error updating ,1,2,3",
                                  "Invalid File Name:  Error updating ../escape.txt",
                                  "Invalid File Name:  Error updating C:\\windows\\x.dll"}));
  EXPECT_FALSE(fileExists("../escape.txt"));
}

TEST_F(UpdateRunTest, HugeManifestsStayWithinBounds) {
  std::string current = publish("current.bin", "same");
  writeFile("current.bin", "same");
  std::string manifest;
  for (int i = 0; i < 100000; ++i) manifest += current + "\n";
  manifest += std::string(1 << 20, 'x') + ",1,2,3\n" + publish("a.bin", "content") + "\n";
  // 100,000 lines are each checked; the 1 MB name is refused before any
  // transfer and logged shortened; the last line still counts.
  EXPECT_EQ(update(manifest), (Names{"update.dat", "a.bin"}));
  EXPECT_EQ(logMessages(),
            Names{"Invalid File Name:  Error updating " + std::string(200, 'x') + "..."});
  EXPECT_EQ(readFile("a.bin"), "content");
}

TEST_F(UpdateRunTest, NamesThatAreNotPlainUrlTextStillFetchTheirOwnFile) {
  // Verbatim, "#" and "?" would cut the path and fetch another file, and a
  // blank is no URL at all.
  std::string manifest;
  const std::string names[] = {"my map.pak", "a#1.pak",     "b?x=1.pak",
                               "100%.pak",   "caf\xe9.pak", "sub\\inner.pak"};
  served["a"] = ok(zlibStream("the wrong file"));
  served["b"] = ok(zlibStream("the wrong file"));
  for (const std::string& name : names) manifest += publish(name, "content of " + name) + "\n";
  Names asked = update(manifest);
  EXPECT_EQ(asked.size(), 7u);
  for (const std::string& name : names) EXPECT_EQ(readFile(name), "content of " + name) << name;
  EXPECT_TRUE(logMessages().empty());
}

}  // namespace
