// Signed updates in process: the update worker with the tests' two keys
// built in (as a rotation has them), against signed folders served by the
// loopback server, some of them tampered with.

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <filesystem>

#include "shared/globals.h"
#include "support/http_server.h"
#include "support/signed_folder.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"
#include "update/signed_manifest.h"
#include "update/update_state.h"

namespace {

using Names = std::vector<std::string>;

struct SignedUpdateTest : ::testing::Test {
  ScopedTempDir dir;
  std::unique_ptr<SecretKey> oldKey = testKey("old");
  std::unique_ptr<SecretKey> newKey = testKey("new");

  RunOptions options;

  void SetUp() override {
    ASSERT_TRUE(initCrypto());
    options.publicKeys = {oldKey->publicKey(), newKey->publicKey()};
  }

  // Runs the update against `handler`; returns the names asked for.
  Names update(TestHttpServer::Handler handler) {
    TestHttpServer server(std::move(handler));
    UpdateHarness harness(server.address(), options);
    EXPECT_TRUE(harness.run());
    Names names;
    for (const Request& request : server.requests()) names.push_back(nameOfTarget(request.target));
    return names;
  }
  Names update(const SignedFolder& folder) { return update(serveUpdates(folder.files)); }

  static void clearLogs() {
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
      if (entry.path().extension() == ".log") std::filesystem::remove(entry.path());
    }
  }
};

TEST_F(SignedUpdateTest, EitherBuiltInKeyIsAcceptedAndTheSerialKept) {
  // A rotation: the folder is signed with the old key, then with the new.
  writeFile("a.pak", "old a");
  SignedFolder v1;
  v1.add("a.pak", "version 1");
  v1.sign(*oldKey, 100);
  EXPECT_EQ(update(v1), (Names{"update.dat.sig", "update.dat", "a.pak"}));
  EXPECT_EQ(readFile("a.pak"), "version 1");
  EXPECT_EQ(acceptedSerial(), 100u);
  EXPECT_EQ(readFile("update.dat"), v1.manifest);

  SignedFolder v2;
  v2.add("a.pak", "version 2");
  v2.sign(*newKey, 200);
  EXPECT_EQ(update(v2), (Names{"update.dat.sig", "update.dat", "a.pak"}));
  EXPECT_EQ(readFile("a.pak"), "version 2");
  EXPECT_EQ(acceptedSerial(), 200u);
  EXPECT_TRUE(logMessages().empty());
}

TEST_F(SignedUpdateTest, AnythingButAValidSignatureInstallsNothing) {
  SignedFolder good;
  good.add("a.pak", "new a");
  good.add("b.pak", "new b");
  good.sign(*oldKey, 100);
  std::string signature = good.files["update.dat.sig"].body;

  struct Case {
    const char* what;
    SignedFolder folder;
    std::string reason;  // the start of the logged reason
  };
  std::vector<Case> cases;
  SignedFolder tampered = good;
  tampered.files["update.dat"].body[3] ^= 1;
  cases.push_back({"a manifest byte changed", tampered, "update.dat does not match its signature"});
  SignedFolder foreign = good;
  foreign.sign(*testKey("other"), 100);
  cases.push_back({"another key", foreign, "signed by key "});
  SignedFolder forgedSignature = good;
  char& digit = forgedSignature.files["update.dat.sig"].body[signature.size() - 5];
  digit = digit == '0' ? '1' : '0';
  cases.push_back(
      {"a signature byte changed", forgedSignature, "the signature does not verify with key"});
  SignedFolder truncated = good;
  truncated.files["update.dat.sig"].body = signature.substr(0, signature.size() / 2);
  cases.push_back({"a truncated signature file", truncated, "the signature file"});
  SignedFolder garbage = good;
  garbage.files["update.dat.sig"].body = std::string(300, '\xa5');
  cases.push_back({"a garbage signature file", garbage, "the signature file"});
  SignedFolder unhashed = good;
  unhashed.manifest += "c.pak,10,5,0\n";
  unhashed.sign(*oldKey, 100);
  cases.push_back({"a line without a hash", unhashed, "a line without the SHA-256 of its file"});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile("a.pak", "old a");
    writeFile("b.pak", "old b");
    clearLogs();
    Names asked = update(c.folder);
    EXPECT_EQ(asked.front(), "update.dat.sig");
    EXPECT_EQ(std::count(asked.begin(), asked.end(), "a.pak"), 0);
    EXPECT_EQ(readFile("a.pak"), "old a");
    EXPECT_EQ(readFile("b.pak"), "old b");
    Names log = logMessages();
    ASSERT_EQ(log.size(), 1u);
    const std::string head = "Invalid Signature (" + c.reason;
    EXPECT_EQ(log[0].rfind(head, 0), 0u) << log[0];
    const std::string tail = "):  Error updating update.dat";
    EXPECT_EQ(log[0].substr(log[0].size() - tail.size()), tail) << log[0];
    EXPECT_FALSE(fileExists("update.dat"));
  }

  // An unsigned folder: the signature file is missing.
  SignedFolder unsigned_ = good;
  unsigned_.files.erase("update.dat.sig");
  clearLogs();
  EXPECT_EQ(update(unsigned_), Names{"update.dat.sig"});
  EXPECT_EQ(logMessages(),
            Names{"Download Failed (HTTP status 404):  Error updating update.dat.sig"});
  EXPECT_EQ(readFile("a.pak"), "old a");
}

TEST_F(SignedUpdateTest, AnOlderSignedFolderIsNotAcceptedAgain) {
  writeFile("a.pak", "old a");
  SignedFolder current, replayed;
  current.add("a.pak", "version 2");
  current.sign(*oldKey, 200);
  replayed.add("a.pak", "version 1, with a known hole");
  replayed.sign(*oldKey, 100);
  update(current);
  EXPECT_EQ(readFile("a.pak"), "version 2");
  update(replayed);
  EXPECT_EQ(readFile("a.pak"), "version 2");
  EXPECT_EQ(logMessages(), Names{"Invalid Signature (serial 100 is older than the 200 this folder "
                                 "accepted):  Error updating update.dat"});
  // The same publish again is fine.
  writeFile("a.pak", "damaged");
  update(current);
  EXPECT_EQ(readFile("a.pak"), "version 2");
  EXPECT_EQ(acceptedSerial(), 200u);
}

TEST_F(SignedUpdateTest, AFileWithTheListedSizeAndAForgedCrcIsRefused) {
  // The attacker's file has the listed size and CRC-32; stored (level 0) it
  // even packs to the listed size. Only its SHA-256 tells.
  std::string real = makeBytes(50000, 3, false);
  std::string evil = makeBytes(50000, 4, false);
  std::uint32_t crc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(real.data()), static_cast<uInt>(real.size())));
  evil = withCrc(evil, crc);
  ASSERT_EQ(crc32(0, reinterpret_cast<const Bytef*>(evil.data()), static_cast<uInt>(evil.size())),
            crc);
  SignedFolder folder;
  folder.add("tdx.pak", real, zlibStream(real, 0));
  folder.add("next.pak", "next");
  folder.sign(*oldKey, 100);
  folder.files["tdx.pak"].body = zlibStream(evil, 0);
  writeFile("tdx.pak", "old tdx");
  update(folder);
  EXPECT_EQ(readFile("tdx.pak"), "old tdx");
  EXPECT_EQ(readFile("next.pak"), "next");
  EXPECT_EQ(logMessages(), (Names{"Invalid File Hash:  Error updating tdx.pak",
                                  "Invalid Post-Decompression Size:  Error updating tdx.pak"}));
}

TEST_F(SignedUpdateTest, APublishBetweenTheTwoFetchesIsFetchedAgain) {
  SignedFolder v1, v2;
  v1.add("a.pak", "version 1");
  v1.sign(*oldKey, 100);
  v2.add("a.pak", "version 2");
  v2.sign(*oldKey, 200);
  // The signature is fetched from version 1, then the publish lands.
  std::atomic<int> signatures{0};
  TestHttpServer::Handler first = serveUpdates(v1.files), second = serveUpdates(v2.files);
  Names asked = update([&](const Request& request) {
    if (nameOfTarget(request.target) == "update.dat.sig" && signatures++ == 0) {
      return first(request);
    }
    return second(request);
  });
  EXPECT_EQ(asked,
            (Names{"update.dat.sig", "update.dat", "update.dat.sig", "update.dat", "a.pak"}));
  EXPECT_EQ(readFile("a.pak"), "version 2");
  EXPECT_TRUE(logMessages().empty());
}

TEST(SignatureFile, ReadsWhatIsWrittenAndNothingElse) {
  ASSERT_TRUE(initCrypto());
  std::unique_ptr<SecretKey> key = testKey("old");
  Sha256Digest manifest{}, patches{};
  manifest[0] = 1;
  patches[31] = 2;
  std::string text = signatureFor(*key, 1765185600, manifest, &patches);
  SignatureFile file;
  Status status = parseSignatureFile(text, &file);
  ASSERT_TRUE(status.ok()) << status.error;
  EXPECT_EQ(file.keyId, key->publicKey().id());
  EXPECT_EQ(file.serial, 1765185600u);
  EXPECT_EQ(file.manifest, manifest);
  EXPECT_TRUE(file.hasPatchIndex);
  EXPECT_EQ(file.patchIndex, patches);
  status = verifySignatureFile(file, {key->publicKey()});
  EXPECT_TRUE(status.ok()) << status.error;

  // One spelling only: CR LF, upper-case hex, a repeated or missing line, a
  // leading zero, trailing text, a second signature.
  std::string crlf = text;
  for (std::size_t at = crlf.find('\n'); at != std::string::npos; at = crlf.find('\n', at + 2)) {
    crlf.insert(at, "\r");
  }
  std::string upper = text;
  upper[upper.find("update.dat ") + 11] = 'A';
  for (const std::string& bad :
       {crlf, upper, text + "serial 1\n", text.substr(0, text.size() - 1),
        text.substr(text.find('\n') + 1),
        "brightwick-signature 2\n" + text.substr(text.find('\n') + 1), [&] {
          std::string zero = text;
          zero.insert(zero.find("serial ") + 7, "0");
          return zero;
        }()}) {
    EXPECT_FALSE(parseSignatureFile(bad, &file).ok()) << bad;
  }
  // A later line the reader does not know is signed and tolerated.
  std::string signedPart = signedPartOf(key->publicKey().id(), 5, manifest, nullptr) + "note x\n";
  status = parseSignatureFile(signatureFileText(signedPart, key->sign(signedPart)), &file);
  ASSERT_TRUE(status.ok()) << status.error;
  status = verifySignatureFile(file, {key->publicKey()});
  EXPECT_TRUE(status.ok()) << status.error;

  // Public keys: the keygen line, with or without its id; nothing else.
  PublicKey parsed;
  std::string line = formatPublicKey(key->publicKey());
  EXPECT_TRUE(parsePublicKey(line + "\n", &parsed));
  EXPECT_EQ(parsed.bytes, key->publicKey().bytes);
  EXPECT_TRUE(parsePublicKey(line.substr(0, line.find(' ')), &parsed));
  EXPECT_FALSE(parsePublicKey(line.substr(0, line.find(' ') - 1), &parsed));
  EXPECT_FALSE(
      parsePublicKey(line.substr(0, line.find(' ')) + " (key id 0000000000000000)", &parsed));
}

}  // namespace
