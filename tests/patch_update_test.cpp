// Installing by delta patches, in process: folders published with
// brightwick-pack's own publish() (signed with the tests' key, with
// patches), served by the loopback server, and the update worker with the
// tests' keys built in, on game folders at various earlier versions.

#include <gtest/gtest.h>

#include <filesystem>

#include "download/fetch_ahead.h"
#include "hash/crc32.h"
#include "hash/hex.h"
#include "pack.h"
#include "shared/globals.h"
#include "support/http_server.h"
#include "support/signed_folder.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"
#include "update/patch_index.h"

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// Versions of a large file, each a small change from the one before: an
// edit, then an insertion that shifts what follows.
std::string version(int number) {
  std::string data = makeBytes(1500000, 70, false);
  if (number >= 2) data.replace(700000, 4096, makeBytes(4096, 71, false));
  if (number >= 3) data.insert(300000, makeBytes(20000, 72, false));
  if (number >= 4) data.erase(1000000, 50000);
  return data;
}

std::uint32_t crcOf(const std::string& data) {
  return crc32Update(0, reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

// Sets the four bytes of `data` at `at` so that its CRC-32 is `target`. The
// CRC is affine in the data's bits: 32 probes give the columns of the map,
// and elimination over GF(2) solves it.
void forceCrc(std::string& data, std::size_t at, std::uint32_t target) {
  auto put = [&](std::uint32_t bits) {
    for (int i = 0; i < 4; ++i) data[at + i] = static_cast<char>(bits >> (8 * i));
  };
  put(0);
  const std::uint32_t zero = crcOf(data);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> basis;  // (image, bits that give it)
  for (int bit = 0; bit < 32; ++bit) {
    put(std::uint32_t{1} << bit);
    std::uint32_t image = crcOf(data) ^ zero;
    std::uint32_t bits = std::uint32_t{1} << bit;
    for (const auto& [row, rowBits] : basis) {
      if ((image ^ row) < image) {
        image ^= row;
        bits ^= rowBits;
      }
    }
    if (image != 0) basis.emplace_back(image, bits);
  }
  std::uint32_t want = target ^ zero;
  std::uint32_t bits = 0;
  for (const auto& [row, rowBits] : basis) {
    if ((want ^ row) < want) {
      want ^= row;
      bits ^= rowBits;
    }
  }
  put(bits);
}

struct PatchUpdateTest : ::testing::Test {
  ScopedTempDir root;
  fs::path release = root.path() / "release";
  fs::path out = root.path() / "out";
  fs::path game = root.path() / "game";
  std::unique_ptr<SecretKey> key = testKey("old");

  RunOptions options;

  void SetUp() override {
    ASSERT_TRUE(initCrypto());
    options.publicKeys = {key->publicKey()};
    fs::create_directories(game);
  }
  void TearDown() override { fs::current_path(root.path()); }

  void publishVersion(int number) { publishContent(version(number), std::to_string(number)); }

  void publishContent(const std::string& big, const std::string& readme) {
    writeFile(release / "data" / "big.pak", big);
    writeFile(release / "readme.txt", "version " + readme);
    PublishOptions options;
    options.signingKey = copyTestKey("old", root.path() / "keys");
    options.deltas = 2;
    PublishResult result = publish(release, out, options);
    ASSERT_TRUE(result.ok) << (result.errors.empty() ? "" : result.errors[0]);
  }

  // The game folder at `number` (0: none of the published ones), updated
  // from `files`; the names asked for.
  Names update(int number, const std::map<std::string, Reply>& files,
               const std::string* local = nullptr) {
    fs::remove_all(game);
    if (local) {
      writeFile(game / "data" / "big.pak", *local);
    } else if (number > 0) {
      writeFile(game / "data" / "big.pak", version(number));
    } else {
      writeFile(game / "data" / "big.pak", "an old version no publish knows");
    }
    fs::current_path(game);
    TestHttpServer server(serveUpdates(files));
    UpdateHarness harness(server.address(), options);
    EXPECT_TRUE(harness.run());
    Names names;
    for (const Request& request : server.requests()) names.push_back(nameOfTarget(request.target));
    EXPECT_EQ(readFile("data/big.pak"), wanted);
    EXPECT_FALSE(fileExists("temp"));
    EXPECT_FALSE(fileExists("temp.download"));
    log = logMessages();
    fs::current_path(root.path());
    return names;
  }

  Names log;                        // of the last update
  std::string wanted = version(3);  // what an update must install

  PatchIndex servedIndex() {
    std::istringstream in(readFile(out / "update.patches"));
    PatchIndex index;
    EXPECT_TRUE(readPatchIndex(in, &index));
    return index;
  }
};

TEST_F(PatchUpdateTest, EachKeptVersionGetsItsPatchAndOthersTheFile) {
  for (int number = 1; number <= 3; ++number) publishVersion(number);
  PatchIndex index = servedIndex();
  ASSERT_EQ(index.count("data/big.pak"), 2u);
  std::map<std::string, std::string> patchOf;  // base content's hash -> patch path
  for (const auto& [name, entry] : index) patchOf[toHex(entry.baseSha)] = entry.path;
  std::map<std::string, Reply> files = servedFolder(out);
  for (int base : {1, 2}) {
    SCOPED_TRACE(base);
    Names asked = update(base, files);
    std::string patch = patchOf[sha256Text(version(base))];
    ASSERT_FALSE(patch.empty());
    EXPECT_EQ(settled(asked, 3),
              settled({"update.dat.sig", "update.dat", "update.patches", patch, "readme.txt"}, 3));
    // The patch is a small part of the file it replaces.
    EXPECT_LT(files[patch].body.size() * 20, files["data/big.pak"].body.size());
  }
  // A version no patch starts from gets the whole file.
  Names asked = update(0, files);
  EXPECT_EQ(
      settled(asked, 3),
      settled({"update.dat.sig", "update.dat", "update.patches", "data/big.pak", "readme.txt"}, 3));
  EXPECT_TRUE(log.empty());
}

TEST_F(PatchUpdateTest, ACompressiblePatchIsAlsoServedAsAZlibStreamWhichUpdatersPrefer) {
  const std::string base = version(1);
  wanted = base;
  wanted.insert(300000, makeBytes(200000, 73, true));
  publishContent(base, "1");
  publishContent(wanted, "2");
  auto forms = [&] {
    std::map<PatchForm, PatchEntry> found;
    for (const auto& [name, entry] : servedIndex()) found[entry.form] = entry;
    return found;
  };
  std::map<PatchForm, PatchEntry> served = forms();
  ASSERT_EQ(served.size(), 2u);
  const PatchEntry& plain = served[PatchForm::plain];
  const PatchEntry& packed = served[PatchForm::zlib];
  EXPECT_EQ(plain.baseSha, packed.baseSha);
  EXPECT_LE(std::int64_t{packed.size} * 16, std::int64_t{plain.size} * 15);
  // Updaters that read seven fields keep the plain patch.
  EXPECT_NE(readFile(out / "update.patches").find(formatPatchLine("data/big.pak", plain) + "\n"),
            std::string::npos);
  // Any other eighth field is a form no reader knows: the line is skipped.
  std::string name;
  PatchEntry reread;
  EXPECT_FALSE(readPatchLine(formatPatchLine("data/big.pak", plain) + ",xz", &name, &reread).ok());
  VerifyResult verified = verify(out);
  EXPECT_TRUE(verified.ok()) << verified.problems[0];
  EXPECT_EQ(verified.patchesChecked, 2u);

  Names asked = update(0, servedFolder(out), &base);
  EXPECT_EQ(
      settled(asked, 3),
      settled({"update.dat.sig", "update.dat", "update.patches", packed.path, "readme.txt"}, 3));
  EXPECT_TRUE(log.empty());

  // A later publish that leaves the file alone keeps both.
  publishContent(wanted, "3");
  std::map<PatchForm, PatchEntry> kept = forms();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[PatchForm::zlib].path, packed.path);
  EXPECT_TRUE(fs::exists(out / kept[PatchForm::zlib].path));
  EXPECT_TRUE(fs::exists(out / kept[PatchForm::plain].path));
}

TEST_F(PatchUpdateTest, TheIndexArrivingLateStillServesTheFirstFileAndAForeignOneIsLogged) {
  for (int number = 1; number <= 3; ++number) publishVersion(number);
  std::map<std::string, Reply> files = servedFolder(out);
  std::string patch;
  for (const auto& [name, entry] : servedIndex()) {
    if (toHex(entry.baseSha) == sha256Text(version(2))) patch = entry.path;
  }
  ASSERT_FALSE(patch.empty());
  // The index comes slowly: the run finds the first file stale before it
  // is there, and waits for it rather than fetch the whole file.
  Reply& index = files["update.patches"];
  index.pieceSize = index.body.size() / 4 + 1;
  index.pieceDelayMs = 100;
  Names asked = update(2, files);
  EXPECT_EQ(std::count(asked.begin(), asked.end(), patch), 1);
  EXPECT_EQ(std::count(asked.begin(), asked.end(), "data/big.pak"), 0);
  EXPECT_TRUE(log.empty());

  // An index other than the signed one: said once, and whole files.
  index.body += "data/big.pak,1,0," + std::string(64, 'a') + ",update.d/patches/x.vcdiff,1," +
                std::string(64, 'a') + "\n";
  asked = update(2, files);
  EXPECT_EQ(std::count(asked.begin(), asked.end(), "data/big.pak"), 1);
  EXPECT_EQ(std::count(asked.begin(), asked.end(), patch), 0);
  EXPECT_EQ(log, Names{"Invalid Patch Index (it does not match its signature):  Error updating "
                       "update.patches"});
}

TEST_F(PatchUpdateTest, AStopWhileTheIndexIsOnItsWaySaysNothingAndLeavesNoScratchFile) {
  for (int number = 1; number <= 3; ++number) publishVersion(number);
  std::map<std::string, Reply> files = servedFolder(out);
  files["update.patches"].stallAfter = 10;
  writeFile(game / "data" / "big.pak", version(2));
  fs::current_path(game);
  TestHttpServer server(serveUpdates(files));
  UpdateHarness harness(server.address(), options);
  harness.start();
  ASSERT_TRUE(server.waitForRequests(3, 10000));
  ASSERT_EQ(nameOfTarget(server.requests()[2].target), "update.patches");
  gStopRequested = true;
  ASSERT_TRUE(harness.finish(10000));
  // A stopped transfer is no broken index: nothing to log.
  EXPECT_TRUE(logMessages().empty()) << logMessages()[0];
  EXPECT_EQ(readFile("data/big.pak"), version(2));
  for (int slot = 0; slot < kAheadFiles; ++slot) EXPECT_FALSE(fileExists(aheadScratchName(slot)));
  EXPECT_FALSE(fileExists("temp.download"));
}

TEST_F(PatchUpdateTest, ABrokenPatchFallsBackToTheWholeFileInTheSameRun) {
  for (int number = 1; number <= 3; ++number) publishVersion(number);
  std::map<std::string, Reply> files = servedFolder(out);
  std::string patch;
  for (const auto& [name, entry] : servedIndex()) {
    if (entry.baseSha == [] {
          Sha256Digest sha;
          fromHex(sha256Text(version(2)), &sha);
          return sha;
        }()) {
      patch = entry.path;
    }
  }
  ASSERT_FALSE(patch.empty());
  std::string good = files[patch].body;
  std::string corrupt = good;
  corrupt[corrupt.size() / 2] ^= 0x40;
  for (const std::string& body : {corrupt, good.substr(0, good.size() / 2), std::string()}) {
    files[patch].body = body;
    Names asked = update(2, files);
    EXPECT_EQ(settled(asked, 3), settled({"update.dat.sig", "update.dat", "update.patches", patch,
                                          "data/big.pak", "readme.txt"},
                                         3));
    // The whole file only once the patch failed.
    EXPECT_LT(std::find(asked.begin(), asked.end(), patch),
              std::find(asked.begin(), asked.end(), "data/big.pak"));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("Invalid Patch (", 0), 0u) << log[0];
    const std::string tail = "):  Error updating data/big.pak";
    EXPECT_EQ(log[0].substr(log[0].size() - tail.size()), tail) << log[0];
  }
}

TEST_F(PatchUpdateTest, AFileWithABasesSizeAndCrcButOtherBytesIsNeverPatched) {
  for (int number = 1; number <= 3; ++number) publishVersion(number);
  std::string other = version(2);
  other[400000] ^= 0x5a;
  forceCrc(other, 800000, crcOf(version(2)));
  ASSERT_EQ(crcOf(other), crcOf(version(2)));
  ASSERT_NE(other, version(2));
  Names asked = update(2, servedFolder(out), &other);
  // The whole file, with nothing to say: the patch, if it came, was not
  // applied to bytes it was not made from.
  EXPECT_NE(std::find(asked.begin(), asked.end(), "data/big.pak"), asked.end());
  EXPECT_TRUE(log.empty()) << log[0];
}

TEST_F(PatchUpdateTest, AnIndexEntryOutsideThePublishersFolderIsNeverFetched) {
  publishVersion(1);
  publishVersion(3);
  // The studio's own key signs an index whose entry points elsewhere on the
  // server: the entry is dropped, the file fetched whole.
  std::map<std::string, Reply> files = servedFolder(out);
  std::string index = files["update.patches"].body;
  for (const char* path : {"update.d/../update.dat", "readme.txt", "update.d/p/a%2e.vcdiff",
                           "update.d/.../x.vcdiff"}) {
    std::string hostile = index;
    std::size_t at = hostile.find("update.d/patches/");
    std::size_t end = hostile.find(',', at);
    hostile.replace(at, end - at, path);
    std::map<std::string, Reply> served = files;
    served["update.patches"].body = hostile;
    Sha256Digest manifest, patches;
    fromHex(sha256Text(served["update.dat"].body), &manifest);
    fromHex(sha256Text(hostile), &patches);
    served["update.dat.sig"].body = signatureFor(*key, 9999999999, manifest, &patches);
    Names asked = update(1, served);
    EXPECT_EQ(settled(asked, 3), settled({"update.dat.sig", "update.dat", "update.patches",
                                          "data/big.pak", "readme.txt"},
                                         3))
        << path;
  }
}

}  // namespace
