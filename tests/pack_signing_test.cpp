// brightwick-pack's signing keys, signed publishes and delta patches, and
// what verify makes of them: the library in process, on folders under a
// scoped temporary folder.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "hash/hex.h"
#include "pack.h"
#include "patch_make.h"
#include "signing.h"
#include "support/signed_folder.h"
#include "support/temp_dir.h"
#include "update/manifest.h"
#include "update/patch_index.h"

namespace fs = std::filesystem;

namespace {

struct PackSigningTest : ::testing::Test {
  ScopedTempDir dir;
  fs::path release = dir.path() / "release";
  fs::path out = dir.path() / "out";
  // A copy of a test key: a signed publish keeps its serial beside the key.
  const std::string kKey = copyTestKey("old", dir.path() / "keys").string();

  void SetUp() override { ASSERT_TRUE(initCrypto()); }

  PublishResult publishWith(const std::string& key, int deltas = -1) {
    PublishOptions options;
    if (!key.empty()) options.signingKey = key;
    options.deltas = deltas;
    return publish(release, out, options);
  }

  std::vector<std::string> problems(const std::string& pub) {
    PublicKey key;
    std::string why;
    EXPECT_TRUE(loadPublicKey(pub, &key, &why)) << why;
    return verify(out, {}, &key).problems;
  }

  SignatureFile served() {
    SignatureFile file;
    Status status = parseSignatureFile(readFile(out / "update.dat.sig"), &file);
    EXPECT_TRUE(status.ok()) << status.error;
    return file;
  }
};

TEST_F(PackSigningTest, KeygenWritesAnOwnerOnlyKeyOnceAndItsPublicLine) {
  fs::path keyFile = dir.path() / "studio.key";
  PublicKey publicKey;
  std::string why;
  ASSERT_TRUE(generateKeyFiles(keyFile, &publicKey, &why)) << why;
  struct stat info;
  ASSERT_EQ(stat(keyFile.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  PublicKey fromPub;
  EXPECT_TRUE(loadPublicKey((dir.path() / "studio.key.pub").string(), &fromPub, &why)) << why;
  EXPECT_EQ(fromPub.bytes, publicKey.bytes);
  SecretKey secret;
  ASSERT_TRUE(loadSecretKey(keyFile, &secret, &why)) << why;
  EXPECT_EQ(secret.publicKey().bytes, publicKey.bytes);

  // Never overwritten: a second keygen fails and the key stays.
  std::string before = readFile(keyFile);
  EXPECT_FALSE(generateKeyFiles(keyFile, &publicKey, &why));
  EXPECT_EQ(readFile(keyFile), before);
  // Anything else is no key.
  writeFile(dir.path() / "not.key", "brightwick-secret-key 1\ned25519-seed 00\n");
  EXPECT_FALSE(loadSecretKey(dir.path() / "not.key", &secret, &why));
}

TEST_F(PackSigningTest, ASignedPublishHashesEveryPackedFileAndSignsTheManifest) {
  writeFile(release / "a.txt", "alpha");
  writeFile(release / "maps/b.pak", makeBytes(50000, 3, true));
  // First unsigned: the signed publish after it reuses the packed files and
  // still lists their hashes.
  ASSERT_TRUE(publishWith("").ok);
  PublishResult result = publishWith(kKey);
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.reused.size(), 2u);
  std::istringstream lines(readFile(out / "update.dat"));
  std::string line;
  int hashed = 0;
  while (std::getline(lines, line)) {
    std::vector<std::string> fields = splitManifestLine(line);
    EXPECT_EQ(hashFieldOf(line), sha256Text(readFile(out / fields[0]))) << line;
    ++hashed;
  }
  EXPECT_EQ(hashed, 2);
  EXPECT_TRUE(problems(kKey + ".pub").empty());
  SignatureFile first = served();
  EXPECT_EQ(first.keyId, result.keyId);
  EXPECT_EQ(first.serial, result.serial);

  // Nothing changed: the signature stands. A change: a new one, with a
  // greater serial.
  ASSERT_TRUE(publishWith(kKey).ok);
  EXPECT_EQ(served().serial, first.serial);
  writeFile(release / "a.txt", "alpha 2");
  ASSERT_TRUE(publishWith(kKey).ok);
  EXPECT_GT(served().serial, first.serial);
  // The serial only grows, whatever the clock says.
  EXPECT_EQ(nextSerial(first.serial + 100, 5), first.serial + 101);
  EXPECT_EQ(nextSerial(7, 1000), 1000u);

  // An unsigned publish that changes the manifest takes the signature away.
  writeFile(release / "a.txt", "alpha 3");
  ASSERT_TRUE(publishWith("").ok);
  EXPECT_FALSE(fileExists(out / "update.dat.sig"));
}

TEST_F(PackSigningTest, VerifyFindsEveryWayTheSignedFolderCanDisagree) {
  writeFile(release / "a.txt", "alpha");
  writeFile(release / "b.pak", makeBytes(30000, 4, false));
  ASSERT_TRUE(publishWith(kKey).ok);
  ASSERT_TRUE(problems(kKey + ".pub").empty());
  std::string otherKey = std::string(BRIGHTWICK_TEST_DATA) + "/signing-new.key.pub";
  EXPECT_FALSE(problems(otherKey).empty());

  // A packed file swapped for another of the same size.
  std::string packed = readFile(out / "b.pak");
  std::string swapped = packed;
  swapped[swapped.size() / 2] ^= 1;
  writeFile(out / "b.pak", swapped);
  EXPECT_FALSE(problems(kKey + ".pub").empty());
  writeFile(out / "b.pak", packed);
  // A manifest byte.
  std::string manifest = readFile(out / "update.dat");
  writeFile(out / "update.dat", "x" + manifest.substr(1));
  EXPECT_FALSE(problems(kKey + ".pub").empty());
  writeFile(out / "update.dat", manifest);
  // No signature at all.
  fs::remove(out / "update.dat.sig");
  EXPECT_FALSE(problems(kKey + ".pub").empty());
}

TEST_F(PackSigningTest, PatchesComeFromEachKeptVersionAndOnlyWhenTheyPay) {
  std::string v1 = makeBytes(400000, 5, false);
  std::string v2 = v1, v3 = v1;
  v2.replace(1000, 500, makeBytes(500, 6, false));
  v3 = v2;
  v3.insert(200000, makeBytes(3000, 7, false));
  std::string v4 = v3;
  v4.erase(100000, 1000);
  writeFile(release / "big.pak", v1);
  writeFile(release / "other.pak", makeBytes(100000, 8, false));
  ASSERT_TRUE(publishWith(kKey, 2).ok);
  for (const std::string& next : {v2, v3, v4}) {
    writeFile(release / "big.pak", next);
    ASSERT_TRUE(publishWith(kKey, 2).ok);
  }
  // Another asset replaced by unrelated bytes: no patch pays.
  writeFile(release / "other.pak", makeBytes(100000, 9, false));
  PublishResult result = publishWith(kKey, 2);
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.patchesMade, 0);

  std::istringstream in(readFile(out / "update.patches"));
  PatchIndex index;
  ASSERT_TRUE(readPatchIndex(in, &index));
  EXPECT_EQ(index.count("other.pak"), 0u);
  // The two versions before v4, each with its own small patch; v1 is no
  // longer kept, nor its history.
  std::set<std::string> bases;
  for (const auto& [name, entry] : index) {
    EXPECT_EQ(name, "big.pak");
    bases.insert(toHex(entry.baseSha));
    EXPECT_LT(entry.size, 20000);
  }
  EXPECT_EQ(bases, (std::set<std::string>{sha256Text(v2), sha256Text(v3)}));
  std::size_t history = 0;
  for (const auto& entry : fs::directory_iterator(out / "update.d/history")) {
    (void)entry;
    ++history;
  }
  EXPECT_EQ(history, 2u);
  PublicKey key;
  std::string why;
  ASSERT_TRUE(loadPublicKey(kKey + ".pub", &key, &why));
  VerifyResult checked = verify(out, {}, &key);
  EXPECT_TRUE(checked.ok()) << checked.problems.front();
  EXPECT_EQ(checked.patchesChecked, 2u);

  // A patch that no longer gives its file, and a base gone from history:
  // verify finds both.
  std::string patchPath = index.begin()->second.path;
  std::string patch = readFile(out / patchPath);
  writeFile(out / patchPath, patch.substr(0, patch.size() - 5));
  EXPECT_FALSE(verify(out, {}, &key).ok());
  writeFile(out / patchPath, patch);
  fs::remove_all(out / "update.d/history");
  EXPECT_FALSE(verify(out, {}, &key).ok());

  // Patches are for signed updaters only.
  EXPECT_FALSE(publishWith("", 2).ok);
}

TEST_F(PackSigningTest, VerifyReportsAPatchTheUpdaterAndXdelta3DisagreeOn) {
  const std::string v1 = makeBytes(300000, 5, false);
  std::string v2 = v1;
  v2.replace(1000, 500, makeBytes(500, 6, false));
  writeFile(release / "big.pak", v1);
  ASSERT_TRUE(publishWith(kKey, 1).ok);
  writeFile(release / "big.pak", v2);
  ASSERT_TRUE(publishWith(kKey, 1).ok);
  ASSERT_TRUE(verify(out, {}, nullptr).ok());

  // The served patch swapped for one whose sections are DJW-coded, which
  // only xdelta3 reads, listed as the index lists any patch.
  std::istringstream index(readFile(out / "update.patches"));
  std::string format, line;
  ASSERT_TRUE(std::getline(index, format) && std::getline(index, line));
  std::vector<std::string> fields;
  for (std::istringstream cut(line); std::getline(cut, fields.emplace_back(), ',');) {
  }
  fields.pop_back();
  ASSERT_EQ(fields.size(), 7u);
  writeFile("v1", v1);
  writeFile("v2", v2);
  {
    PatchOptions options;
    options.compressSections = true;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> oldFile(std::fopen("v1", "rb"), std::fclose),
        newFile(std::fopen("v2", "rb"), std::fclose),
        patch(std::fopen((out / fields[4]).c_str(), "wb"), std::fclose);
    ASSERT_TRUE(makePatch(oldFile.get(), newFile.get(), patch.get(), options).ok);
  }
  const std::string patch = readFile(out / fields[4]);
  fields[5] = std::to_string(patch.size());
  fields[6] = sha256Text(patch);
  std::string rewritten = format + "\n" + fields[0];
  for (std::size_t i = 1; i < fields.size(); ++i) rewritten += "," + fields[i];
  writeFile(out / "update.patches", rewritten + "\n");

  const std::vector<std::string> found = verify(out, {}, nullptr).problems;
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].find("disagree"), std::string::npos) << found[0];
  EXPECT_NE(found[0].find("secondary compression"), std::string::npos) << found[0];
}

}  // namespace
