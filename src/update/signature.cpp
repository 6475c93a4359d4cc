#include "update/signature.h"

#include <cctype>

namespace {

constexpr char kKeyPrefix[] = "ed25519:";

bool isDecimal(const std::string& text) {
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

std::string PublicKey::id() const {
  return toHex(bytes.data(), 8);
}

std::string formatPublicKey(const PublicKey& key) {
  return kKeyPrefix + toHex(key.bytes) + " (key id " + key.id() + ")";
}

bool parsePublicKey(const std::string& text, PublicKey* key) {
  std::size_t start = 0, end = text.size();
  while (start < end && isBlank(text[start])) ++start;
  while (end > start && isBlank(text[end - 1])) --end;
  std::string trimmed = text.substr(start, end - start);
  const std::string prefix = kKeyPrefix;
  if (trimmed.compare(0, prefix.size(), prefix) != 0) return false;
  std::size_t hexEnd = prefix.size() + 2 * key->bytes.size();
  if (trimmed.size() < hexEnd) return false;
  PublicKey parsed;
  if (!fromHex(trimmed.substr(prefix.size(), hexEnd - prefix.size()), &parsed.bytes)) return false;
  std::string rest = trimmed.substr(hexEnd);
  if (!rest.empty() && rest != " (key id " + parsed.id() + ")") return false;
  *key = parsed;
  return true;
}

std::string signedPartOf(const std::string& keyId, std::uint64_t serial,
                         const Sha256Digest& manifest, const Sha256Digest* patchIndex) {
  std::string text = std::string(kSignatureFormatLine) + "\n";
  text += "key " + keyId + "\n";
  text += "serial " + std::to_string(serial) + "\n";
  text += "update.dat " + toHex(manifest) + "\n";
  if (patchIndex) text += "update.patches " + toHex(*patchIndex) + "\n";
  return text;
}

std::string signatureFileText(const std::string& signedPart, const Ed25519Signature& signature) {
  return signedPart + "signature " + toHex(signature) + "\n";
}

bool parseSignatureFile(const std::string& text, SignatureFile* file, std::string* why) {
  auto fail = [why](const std::string& reason) {
    *why = reason;
    return false;
  };
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
  return true;
}

bool verifySignatureFile(const SignatureFile& file, const std::vector<PublicKey>& keys,
                         std::string* why) {
  for (const PublicKey& key : keys) {
    if (key.id() != file.keyId) continue;
    const auto* message = reinterpret_cast<const unsigned char*>(file.signedText.data());
    if (crypto_sign_verify_detached(file.signature.data(), message, file.signedText.size(),
                                    key.bytes.data()) == 0) {
      return true;
    }
    *why = "the signature does not verify with key " + file.keyId;
    return false;
  }
  *why = "signed by key " + file.keyId + ", which this updater does not know";
  return false;
}
