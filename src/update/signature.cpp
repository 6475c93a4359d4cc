#include "update/signature.h"

#include <cctype>

#include "hash/hex.h"

namespace {

bool isDecimal(const std::string& text) {
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

std::string signedPartOf(const std::string& keyId, std::uint64_t serial,
                         const Sha256Digest& manifest, const Sha256Digest* patchIndex,
                         const Sha256Digest* bundleIndex) {
  std::string text = std::string(kSignatureFormatLine) + "\n";
  text += "key " + keyId + "\n";
  text += "serial " + std::to_string(serial) + "\n";
  text += "update.dat " + toHex(manifest) + "\n";
  if (patchIndex) text += "update.patches " + toHex(*patchIndex) + "\n";
  if (bundleIndex) text += "update.bundles " + toHex(*bundleIndex) + "\n";
  return text;
}

std::string signatureFileText(const std::string& signedPart, const Ed25519Signature& signature) {
  return signedPart + "signature " + toHex(signature) + "\n";
}

Status parseSignatureFile(const std::string& text, SignatureFile* file) {
  auto fail = [](const std::string& reason) { return Status::failure(reason); };
  if (text.size() > kMaxSignatureFileSize) return fail("the signature file is too large");
  if (text.empty() || text.back() != '\n') return fail("the signature file is malformed");
  SignatureFile parsed;
  bool haveKey = false, haveSerial = false, haveManifest = false, haveSignature = false;
  std::vector<std::string> seen;
  std::size_t start = 0;
  for (std::size_t number = 0; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    if (haveSignature) return fail("the signature file goes on after its signature");
    if (number == 0) {
      if (line != kSignatureFormatLine) return fail("not a signature file of format 1");
      start = end + 1;
      continue;
    }
    std::size_t space = line.find(' ');
    if (space == std::string::npos || space == 0) return fail("the signature file is malformed");
    std::string name = line.substr(0, space), value = line.substr(space + 1);
    for (const std::string& before : seen) {
      if (before == name) return fail("the signature file names " + name + " twice");
    }
    seen.push_back(name);
    for (char c : name) {
      if (!std::islower(static_cast<unsigned char>(c)) && c != '.' && c != '-') {
        return fail("the signature file is malformed");
      }
    }
    bool ok = true;
    if (name == "key") {
      std::array<unsigned char, 8> id;
      ok = fromHex(value, &id);
      parsed.keyId = value;
      haveKey = true;
    } else if (name == "serial") {
      ok = isDecimal(value);
      if (ok) parsed.serial = std::stoull(value);
      ok = ok && parsed.serial <= static_cast<std::uint64_t>(INT64_MAX);
      haveSerial = true;
    } else if (name == "update.dat") {
      ok = fromHex(value, &parsed.manifest);
      haveManifest = true;
    } else if (name == "update.patches") {
      ok = fromHex(value, &parsed.patchIndex);
      parsed.hasPatchIndex = true;
    } else if (name == "update.bundles") {
      ok = fromHex(value, &parsed.bundleIndex);
      parsed.hasBundleIndex = true;
    } else if (name == "signature") {
      ok = fromHex(value, &parsed.signature);
      parsed.signedText = text.substr(0, start);
      haveSignature = true;
    }
    if (!ok) return fail("the signature file has a malformed " + name + " line");
    start = end + 1;
  }
  if (!haveKey || !haveSerial || !haveManifest || !haveSignature) {
    return fail("the signature file lacks a line it needs");
  }
  *file = parsed;
  return Status::success();
}

Status verifySignatureFile(const SignatureFile& file, const std::vector<PublicKey>& keys) {
  for (const PublicKey& key : keys) {
    if (key.id() != file.keyId) continue;
    if (verifyEd25519(file.signature, file.signedText, key)) return Status::success();
    return Status::failure("the signature does not verify with key " + file.keyId);
  }
  return Status::failure("signed by key " + file.keyId + ", which this updater does not know");
}
