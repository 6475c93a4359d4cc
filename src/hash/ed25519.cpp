#include "hash/ed25519.h"

#include "hash/hex.h"

namespace {

constexpr char kKeyPrefix[] = "ed25519:";

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

bool verifyEd25519(const Ed25519Signature& signature, const std::string& message,
                   const PublicKey& key) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
  return crypto_sign_verify_detached(signature.data(), bytes, message.size(), key.bytes.data()) ==
         0;
}
