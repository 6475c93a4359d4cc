// Fuzzes what a signed updater reads before it trusts anything: the
// signature file, the public key text, the hash field of a manifest line and
// the patch index.
// A signature file that parses must be exactly the text its parts write
// again (one spelling, so the signed bytes have one meaning); nothing may
// crash or verify by accident.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_check.h"
#include "update/manifest.h"
#include "update/patch_index.h"
#include "update/signature.h"
#include "update/signed_manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = initCrypto();
  FUZZ_CHECK(ready);
  std::string text(reinterpret_cast<const char*>(data), size);

  SignatureFile file;
  Status parsed = parseSignatureFile(text, &file);
  if (parsed.ok()) {
    FUZZ_CHECK(text.size() <= kMaxSignatureFileSize);
    FUZZ_CHECK(signatureFileText(file.signedText, file.signature) == text);
    FUZZ_CHECK(file.signedText.rfind(std::string(kSignatureFormatLine) + "\n", 0) == 0);
    FUZZ_CHECK(file.keyId.size() == 16);
    FUZZ_CHECK(file.serial <= static_cast<std::uint64_t>(INT64_MAX));
    // A key no fuzzer input was signed with never accepts it.
    PublicKey key;
    key.bytes.fill(0x42);
    FUZZ_CHECK(!verifySignatureFile(file, {key}).ok());
  }

  PublicKey key;
  if (parsePublicKey(text, &key)) {
    PublicKey again;
    FUZZ_CHECK(parsePublicKey(formatPublicKey(key), &again));
    FUZZ_CHECK(again.bytes == key.bytes);
  }

  // A hash field is exactly 64 lowercase hex digits, and a manifest is
  // "hashed" only if every non-empty line has one.
  std::istringstream manifest(text);
  std::string bad;
  bool hashed = everyLineIsHashed(manifest, &bad);
  std::istringstream again(text);
  std::string line;
  bool every = true;
  std::vector<std::string> fields;
  while (readManifestLine(again, line)) {
    if (line.empty()) continue;
    std::string field = hashFieldOf(line);
    bool good = parseManifestLine(line, fields) != LineKind::malformed && isHashField(field);
    if (isHashField(field)) {
      FUZZ_CHECK(field.size() == 64 &&
                 field.find_first_not_of("0123456789abcdef") == std::string::npos);
    }
    every = every && good;
  }
  FUZZ_CHECK(hashed == every);

  // The patch index: every entry read names a file the updater accepts and a
  // path below the publisher's folder, and reads back the same once written.
  std::istringstream index(text);
  PatchIndex entries;
  if (readPatchIndex(index, &entries)) {
    for (const auto& [name, entry] : entries) {
      FUZZ_CHECK(isSafeName(name));
      FUZZ_CHECK(entry.path.rfind("update.d/", 0) == 0);
      FUZZ_CHECK(entry.path.find("..") == std::string::npos);
      std::string again;
      PatchEntry reread;
      FUZZ_CHECK(readPatchLine(formatPatchLine(name, entry), &again, &reread).ok());
      FUZZ_CHECK(again == name && reread.path == entry.path && reread.sha == entry.sha &&
                 reread.baseSha == entry.baseSha && reread.size == entry.size &&
                 reread.baseSize == entry.baseSize && reread.baseCrc == entry.baseCrc &&
                 reread.form == entry.form);
    }
  }
  return 0;
}
