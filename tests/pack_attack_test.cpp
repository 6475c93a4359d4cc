// Someone who can write the served folder but holds no key (a web server
// account, a mirror that syncs back) against the studio's next publish:
// what they plant must never be signed, never lead a repair outside the
// folder, and never reach a signed player. The publisher's library in
// process; players are the update worker with the tests' key built in,
// against the loopback server serving the folder.

#include <gtest/gtest.h>
#include <zlib.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <sstream>

#include "hash/hex.h"
#include "pack.h"
#include "patch_make.h"
#include "record_proof.h"
#include "reuse_record.h"
#include "serials.h"
#include "support/http_server.h"
#include "support/signed_folder.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"
#include "update/patch_index.h"
#include "update/update_state.h"

namespace fs = std::filesystem;

namespace {

std::uint32_t crcOf(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string hexCrcOf(const std::string& data) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(crcOf(data)));
  return text;
}

// Other bytes with `original`'s size and CRC-32, as scripts/forge-crc.py
// makes them.
std::string forgedLike(const std::string& original, unsigned seed) {
  return withCrc(makeBytes(original.size(), seed, true), crcOf(original));
}

// Versions of a pack file, each a small edit of the one before.
std::string pakVersion(int number) {
  std::string data = makeBytes(300000, 40, false);
  for (int at = 2; at <= number; ++at) {
    data.replace(50000 * static_cast<std::size_t>(at), 2000, makeBytes(2000, 40 + at, false));
  }
  return data;
}

struct ServedFolderAttack : ::testing::Test {
  ScopedTempDir dir;
  fs::path release = dir.path() / "release";
  fs::path out = dir.path() / "out";
  fs::path outside = dir.path() / "outside";  // the studio's other files
  fs::path game = dir.path() / "game";
  const fs::path key = copyTestKey("old", dir.path() / "keys");
  std::unique_ptr<SecretKey> secret = testKey("old");

  void SetUp() override {
    ASSERT_TRUE(initCrypto());
    writeFile(outside / "victim.txt", "a file of the studio's, outside the served folder");
    writeFile(outside / "keys" / "studio.key", "stands in for the studio's secret key");
  }

  PublishResult publishSigned(int deltas = 0, bool force = false) {
    PublishOptions options;
    options.signingKey = key;
    options.deltas = deltas;
    options.force = force;
    return publish(release, out, options);
  }
  std::vector<std::string> problems(const fs::path& compareWith = {}) {
    PublicKey publicKey = secret->publicKey();
    return verify(out, {}, &publicKey, compareWith).problems;
  }
  // Whether verify --key (with `compareWith`: --release) says `text`.
  bool verifySays(const std::string& text, const fs::path& compareWith = {}) {
    for (const std::string& problem : problems(compareWith)) {
      if (problem.find(text) != std::string::npos) return true;
    }
    return false;
  }

  // A signed player whose game folder holds `installed` updates from what
  // the folder serves now; what it then holds.
  std::map<std::string, std::string> playerUpdates(
      const std::map<std::string, std::string>& installed) {
    fs::remove_all(game);
    fs::create_directories(game);
    for (const auto& [name, data] : installed) writeFile(game / name, data);
    fs::current_path(game);
    {
      TestHttpServer server(serveUpdates(servedFolder(out)));
      RunOptions options;
      options.publicKeys = {secret->publicKey()};
      UpdateHarness harness(server.address(), options);
      EXPECT_TRUE(harness.run());
    }
    std::map<std::string, std::string> now;
    for (const auto& [name, data] : installed) now[name] = readFile(game / name);
    now["(serial)"] = std::to_string(acceptedSerial());
    fs::current_path(dir.path());
    return now;
  }

  // The records file with `name`'s record edited by `edit` (key -> value;
  // an empty value drops the line), as someone writing the folder would.
  void editRecord(const std::string& name, const std::map<std::string, std::string>& edit) {
    std::istringstream in(readFile(out / "update.d/records"));
    std::string text, line;
    bool inRecord = false;
    while (std::getline(in, line)) {
      if (line.rfind("name ", 0) == 0) inRecord = line == "name " + name;
      std::string key = line.substr(0, line.find(' '));
      auto change = edit.find(key);
      if (inRecord && change != edit.end()) {
        if (!change->second.empty()) text += key + " " + change->second + "\n";
      } else {
        text += line + "\n";
      }
    }
    writeFile(out / "update.d/records", text);
  }
};

TEST_F(ServedFolderAttack, ALaunderedPackedFileIsPackedAgainAndNeverSigned) {
  std::string a = makeBytes(20000, 1, true);
  writeFile(release / "a.pak", a);
  writeFile(release / "b.txt", "version 1");
  ASSERT_TRUE(publishSigned().ok);

  // A forged stream with the release file's size and CRC, its record made to
  // match and its sums dropped.
  std::string forged = forgedLike(a, 2);
  std::string stream = zlibStream(forged);
  writeFile(out / "a.pak", stream);
  editRecord("a.pak", {{"packed-size", std::to_string(stream.size())},
                       {"packed-crc32", hexCrcOf(stream)},
                       {"sha256", ""},
                       {"packed-sha256", ""}});
  // Served now, it is no longer the file the signature lists, and not the
  // release's.
  EXPECT_TRUE(verifySays("it is not the file that was signed"));
  EXPECT_TRUE(verifySays("it is not the file the studio released", release));
  EXPECT_EQ(playerUpdates({{"a.pak", "old a"}})["a.pak"], "old a");

  // The studio's next ordinary publish packs it again from the release.
  writeFile(release / "b.txt", "version 2");
  PublishResult next = publishSigned();
  ASSERT_TRUE(next.ok) << next.errors.front();
  EXPECT_EQ(next.packed, (std::vector<std::string>{"a.pak", "b.txt"}));
  EXPECT_EQ(readFile(out / "a.pak"), zlibStream(a));
  EXPECT_TRUE(problems(release).empty());
  EXPECT_EQ(playerUpdates({{"a.pak", "old a"}})["a.pak"], a);

  // A record left whole, its MAC intact, no longer describes a packed file
  // swapped under it: packed again. One made to match has no MAC that
  // holds, and stands only because it inflates to the release file's bytes.
  std::string other = zlibStream(a, 1);
  writeFile(out / "a.pak", other);
  PublishResult again = publishSigned();
  ASSERT_TRUE(again.ok);
  EXPECT_EQ(again.packed, std::vector<std::string>{"a.pak"});
  writeFile(out / "a.pak", other);
  editRecord("a.pak", {{"packed-size", std::to_string(other.size())},
                       {"packed-crc32", hexCrcOf(other)}});
  writeFile(release / "b.txt", "version 3");
  PublishResult proven = publishSigned();
  ASSERT_TRUE(proven.ok);
  EXPECT_EQ(proven.packed, std::vector<std::string>{"b.txt"});
  EXPECT_TRUE(problems(release).empty());
  // An unchanged signed republish reuses what it vouched for.
  PublishResult unchanged = publishSigned();
  EXPECT_TRUE(unchanged.packed.empty());
  EXPECT_EQ(unchanged.reused.size(), 2u);
  EXPECT_TRUE(problems(release).empty());
}

TEST_F(ServedFolderAttack, APlantedSerialIsNotBelievedAndNoSerialPassesTheLargest) {
  writeFile(release / "a.pak", "version 1");
  PublishResult first = publishSigned();
  ASSERT_TRUE(first.ok);

  // Any key id, a zero signature, a serial one below the largest.
  std::ostringstream planted;
  planted << "brightwick-signature 1\nkey " << secret->publicKey().id() << "\nserial "
          << kMostSerial - 1 << "\nupdate.dat " << std::string(64, '0') << "\nsignature "
          << std::string(128, '0') << "\n";
  writeFile(out / "update.dat.sig", planted.str());
  EXPECT_FALSE(problems().empty());
  EXPECT_EQ(playerUpdates({{"a.pak", "old"}})["a.pak"], "old");

  writeFile(release / "a.pak", "version 2");
  PublishResult next = publishSigned();
  ASSERT_TRUE(next.ok) << next.errors.front();
  EXPECT_GT(next.serial, first.serial);
  EXPECT_LE(next.serial, static_cast<std::uint64_t>(std::time(nullptr)) + 1);
  std::map<std::string, std::string> player = playerUpdates({{"a.pak", "old"}});
  EXPECT_EQ(player["a.pak"], "version 2");
  EXPECT_EQ(player["(serial)"], std::to_string(next.serial));

  // The signature deleted: the key's state file still has the floor, also
  // within the same second.
  EXPECT_EQ(readKeyState(key), next.serial);
  fs::remove(out / "update.dat.sig");
  writeFile(release / "a.pak", "version 3");
  PublishResult third = publishSigned();
  ASSERT_TRUE(third.ok);
  EXPECT_GT(third.serial, next.serial);

  // Signed by the studio itself: the largest serial leaves no next one,
  // forced or not; a year ahead of the clock needs --force.
  auto signServed = [&](std::uint64_t serial) {
    writeFile(out / "update.dat.sig",
              signatureFor(*secret, serial, sha256Of(readFile(out / "update.dat")), nullptr));
  };
  signServed(kMostSerial);
  writeFile(release / "a.pak", "version 4");
  for (bool force : {false, true}) {
    PublishResult refused = publishSigned(0, force);
    ASSERT_FALSE(refused.ok);
    EXPECT_NE(refused.errors.front().find("the largest an updater takes"), std::string::npos)
        << refused.errors.front();
  }
  std::uint64_t ahead = static_cast<std::uint64_t>(std::time(nullptr)) + 2 * 366 * 24 * 3600;
  signServed(ahead);
  PublishResult unforced = publishSigned();
  ASSERT_FALSE(unforced.ok);
  EXPECT_NE(unforced.errors.front().find("more than a year ahead"), std::string::npos);
  PublishResult forced = publishSigned(0, true);
  ASSERT_TRUE(forced.ok);
  EXPECT_EQ(forced.serial, ahead + 1);

  // A state file that is not one stops a signed publish before it writes.
  writeFile(keyStatePath(key), "serial 5\n");
  Tree before = treeOf(out);
  writeFile(release / "a.pak", "version 5");
  EXPECT_FALSE(publishSigned().ok);
  EXPECT_EQ(treeOf(out), before);
}

TEST_F(ServedFolderAttack, AJournalThroughALinkIsRefusedAndNothingOutsideChanges) {
  writeFile(release / "a.pak", "version 1");
  ASSERT_TRUE(publishSigned().ok);
  const std::string manifest = readFile(out / "update.dat");
  writeFile(out / ".brightwick-pack-real/evil", "the attacker's file");
  // Paths without "..", through a link to a folder outside, and a scratch
  // folder that is itself such a link.
  fs::create_directory_symlink(outside, out / "maps");
  fs::create_directory_symlink(outside / "keys", out / ".brightwick-pack-link");
  const std::string commitPoint = "put gone - " + std::to_string(manifest.size()) + " " +
                                  hexCrcOf(manifest) + " update.dat\n";
  struct Case {
    const char* what;
    std::string journal;
  };
  const Case cases[] = {
      {"a delete outside",
       "scratch .brightwick-pack-real\n" + commitPoint + "delete maps/victim.txt\n"},
      {"the secret key moved in",
       "scratch .brightwick-pack-link\nput studio.key - 0 00000000 stolen.key\n" + commitPoint},
      {"a file written outside",
       "scratch .brightwick-pack-real\nput evil - 19 " + hexCrcOf("the attacker's file") +
           " maps/planted.txt\n" + commitPoint},
      {"a roll-back through the link", "scratch .brightwick-pack-real\nput evil old-0 1 00000000 "
                                       "maps/victim.txt\nput x - 1 00000000 update.dat\n"},
  };
  const Tree outsideBefore = treeOf(outside);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(out / "update.d/journal", "brightwick-journal 1\n" + c.journal + "end\n");
    const Tree before = treeOf(out);
    VerifyResult checked = verify(out);
    ASSERT_EQ(checked.problems.size(), 1u);
    EXPECT_NE(checked.problems[0].find("symbolic link"), std::string::npos) << checked.problems[0];
    EXPECT_TRUE(checked.repairs.empty());
    writeFile(release / "a.pak", std::string("version 2 ") + c.what);
    PublishResult published = publishSigned();
    EXPECT_FALSE(published.ok);
    EXPECT_EQ(treeOf(out), before);
    EXPECT_EQ(treeOf(outside), outsideBefore);
  }

  // The links gone, the same folder is repaired and published again; a
  // link by a scratch folder's name is left, and what it leads to with it.
  fs::remove(out / "update.d/journal");
  fs::remove(out / "maps");
  PublishResult repaired = publishSigned();
  ASSERT_TRUE(repaired.ok) << repaired.errors.front();
  EXPECT_FALSE(fileExists(out / ".brightwick-pack-real/evil"));
  EXPECT_TRUE(fs::is_symlink(out / ".brightwick-pack-link"));
  EXPECT_EQ(treeOf(outside), outsideBefore);

  // Whatever publish writes goes nowhere through a link either: update.d,
  // or a release folder's place in the served folder.
  fs::create_directory_symlink(outside, out / "maps");
  writeFile(release / "maps/town.map", "a map");
  EXPECT_FALSE(publishSigned().ok);
  fs::remove(out / "maps");
  fs::remove(release / "maps/town.map");
  fs::rename(out / "update.d", dir.path() / "moved-update.d");
  fs::create_directory_symlink(outside, out / "update.d");
  PublishResult throughServer = publishSigned();
  ASSERT_FALSE(throughServer.ok);
  EXPECT_NE(throughServer.errors.front().find("update.d"), std::string::npos);
  EXPECT_FALSE(verify(out).ok());
  EXPECT_EQ(treeOf(outside), outsideBefore);
}

TEST_F(ServedFolderAttack, APoisonedBaseOrPatchIndexNeverGivesPlayersOtherBytes) {
  writeFile(release / "readme.txt", "1");
  for (int number = 1; number <= 2; ++number) {
    writeFile(release / "big.pak", pakVersion(number));
    ASSERT_TRUE(publishSigned(2).ok);
  }
  // Version 1's stream in history replaced by another stream of its size
  // and CRC, one the next version's patch would pay from: verify sees it;
  // no publish makes a patch from it.
  std::string v1 = pakVersion(1);
  std::string poisoned = withCrc(pakVersion(3), crcOf(v1));
  fs::path history = out / ("update.d/history/" + sha256Text(v1) + ".z");
  ASSERT_TRUE(fileExists(history));
  writeFile(history, zlibStream(poisoned));
  EXPECT_FALSE(problems().empty());

  // A patch index that gives a player at version 1 other bytes with the
  // listed size and CRC, slipped into the served index, with its patch.
  std::string v2 = pakVersion(2);
  std::string forged = forgedLike(v2, 10);
  writeFile(dir.path() / "v1", v1);
  writeFile(dir.path() / "forged", forged);
  {
    FilePtr base(std::fopen((dir.path() / "v1").c_str(), "rb"));
    FilePtr target(std::fopen((dir.path() / "forged").c_str(), "rb"));
    FilePtr patch(std::fopen((dir.path() / "evil.vcdiff").c_str(), "wb"));
    ASSERT_TRUE(makePatch(base.get(), target.get(), patch.get()).ok);
  }
  std::string evil = readFile(dir.path() / "evil.vcdiff");
  PatchEntry entry;
  entry.baseSize = static_cast<std::int32_t>(v1.size());
  entry.baseCrc = crcOf(v1);
  fromHex(sha256Text(v1), &entry.baseSha);
  entry.path = "update.d/patches/" + sha256Text(evil) + ".vcdiff";
  entry.size = static_cast<std::int32_t>(evil.size());
  fromHex(sha256Text(evil), &entry.sha);
  writeFile(out / entry.path, evil);
  writeFile(out / "update.patches",
            readFile(out / "update.patches") + formatPatchLine("big.pak", entry) + "\n");

  // The next publish changes only the readme: big.pak keeps its patches
  // only as far as the signature vouches for them.
  writeFile(release / "readme.txt", "2");
  PublishResult next = publishSigned(2);
  ASSERT_TRUE(next.ok) << next.errors.front();
  std::string indexText = fileExists(out / "update.patches") ? readFile(out / "update.patches") : "";
  EXPECT_EQ(indexText.find(sha256Text(evil)), std::string::npos);
  EXPECT_EQ(playerUpdates({{"big.pak", v1}})["big.pak"], v2);

  // Version 3: its patches come only from bases proven to be version 1 or
  // 2; a player at either gets exactly version 3.
  std::string v3 = pakVersion(3);
  writeFile(release / "big.pak", v3);
  writeFile(history, zlibStream(poisoned));
  PublishResult third = publishSigned(2);
  ASSERT_TRUE(third.ok) << third.errors.front();
  EXPECT_GT(third.patchesMade, 0);
  std::istringstream index(readFile(out / "update.patches"));
  PatchIndex served;
  ASSERT_TRUE(readPatchIndex(index, &served));
  for (const auto& [name, patch] : served) {
    EXPECT_NE(toHex(patch.baseSha), sha256Text(v1)) << "a patch from the poisoned base";
  }
  EXPECT_FALSE(fileExists(history));
  EXPECT_TRUE(problems(release).empty());
  for (const std::string& installed : {v1, v2}) {
    EXPECT_EQ(playerUpdates({{"big.pak", installed}})["big.pak"], v3);
  }
}

TEST(RecordsAndSerials, TheMacCoversEveryFieldAndTheSerialRulesHold) {
  ASSERT_TRUE(initCrypto());
  std::unique_ptr<SecretKey> key = testKey("old");
  RecordKey records(*key);
  PackedRecord record;
  record.packedSize = 10;
  record.size = 20;
  record.hasSha = true;
  record.previous.push_back(VersionRecord{5, 6, Sha256Digest{}});
  records.seal("a.pak", record);
  PackedRecords written{{"a.pak", record}};
  std::string warning;
  PackedRecords read = parseRecords(formatRecords(written), &warning);
  ASSERT_EQ(read.count("a.pak"), 1u);
  EXPECT_TRUE(records.holds("a.pak", read["a.pak"]));
  EXPECT_FALSE(records.holds("b.pak", read["a.pak"]));
  EXPECT_FALSE(RecordKey(*testKey("new")).holds("a.pak", read["a.pak"]));
  std::vector<std::function<void(PackedRecord&)>> changes = {
      [](PackedRecord& r) { r.packedSize += 1; }, [](PackedRecord& r) { r.packedCrc ^= 1; },
      [](PackedRecord& r) { r.size += 1; },       [](PackedRecord& r) { r.crc ^= 1; },
      [](PackedRecord& r) { r.sha[0] ^= 1; },     [](PackedRecord& r) { r.packedSha[31] ^= 1; },
      [](PackedRecord& r) { r.previous.clear(); },
  };
  for (const auto& change : changes) {
    PackedRecord changed = read["a.pak"];
    change(changed);
    EXPECT_FALSE(records.holds("a.pak", changed));
  }

  // Serials: from the clock, one past the floor, never past the largest,
  // and a year's lead only when forced.
  const std::int64_t now = 1765185600;
  EXPECT_EQ(chooseSerial(7, now, false), static_cast<std::uint64_t>(now));
  EXPECT_EQ(chooseSerial(now + 10, now, false), static_cast<std::uint64_t>(now) + 11);
  EXPECT_THROW(chooseSerial(now + kMostSerialLead, now, false), std::runtime_error);
  EXPECT_EQ(chooseSerial(now + kMostSerialLead, now, true),
            static_cast<std::uint64_t>(now + kMostSerialLead) + 1);
  EXPECT_EQ(chooseSerial(kMostSerial - 1, now, true), kMostSerial);
  EXPECT_THROW(chooseSerial(kMostSerial, now, true), std::runtime_error);
  std::uint64_t serial = 0;
  EXPECT_TRUE(parseKeyState(formatKeyState(kMostSerial), &serial));
  EXPECT_EQ(serial, kMostSerial);
  for (const char* bad : {"brightwick-key-state 1\nserial 9223372036854775808\n",
                          "brightwick-key-state 1\nserial 012\n", "brightwick-key-state 1\n",
                          "brightwick-key-state 2\nserial 12\n", "brightwick-key-state 1\nserial 12"}) {
    EXPECT_FALSE(parseKeyState(bad, &serial)) << bad;
  }
}

}  // namespace
