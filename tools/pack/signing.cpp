#include "signing.h"
#include "hash/hex.h"

#include <fstream>
#include <memory>
#include <sstream>

namespace {

constexpr char kSecretFormatLine[] = "brightwick-secret-key 1";
constexpr char kSeedPrefix[] = "ed25519-seed ";
constexpr std::size_t kMaxKeyFileSize = 4096;

// A string holding secret text, wiped when it goes.
struct WipedString {
  std::string text;
  ~WipedString() { sodium_memzero(text.data(), text.size()); }
};

bool readAll(const std::filesystem::path& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  char chunk[512];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    text->append(chunk, static_cast<std::size_t>(in.gcount()));
    if (text->size() > kMaxKeyFileSize) return false;
  }
  sodium_memzero(chunk, sizeof chunk);
  return true;
}

bool writeAll(std::FILE* file, const std::string& text) {
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

SecretKey::SecretKey() {
  sodium_memzero(&material_, sizeof material_);
  sodium_mlock(&material_, sizeof material_);
}

SecretKey::~SecretKey() {
  // Wipes the memory before unlocking it.
  sodium_munlock(&material_, sizeof material_);
}

void SecretKey::setSeed(const unsigned char* seed) {
  std::copy(seed, seed + crypto_sign_SEEDBYTES, material_.seed);
  crypto_sign_seed_keypair(public_.bytes.data(), material_.secret, material_.seed);
}

Ed25519Signature SecretKey::sign(const std::string& message) const {
  Ed25519Signature signature;
  crypto_sign_detached(signature.data(), nullptr,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                       material_.secret);
  return signature;
}

void SecretKey::deriveKey(std::uint64_t id, const char (&context)[crypto_kdf_CONTEXTBYTES + 1],
                          unsigned char* out, std::size_t size) const {
  static_assert(crypto_kdf_KEYBYTES == crypto_sign_SEEDBYTES, "the seed is the master key");
  crypto_kdf_derive_from_key(out, size, id, context, material_.seed);
}

bool generateKeyFiles(const std::filesystem::path& keyFile, PublicKey* publicKey,
                      std::string* why) {
  if (!initCrypto()) {
    *why = "libsodium cannot be initialised";
    return false;
  }
  SecretKey key;
  {
    std::array<unsigned char, crypto_sign_SEEDBYTES> seed;
    randombytes_buf(seed.data(), seed.size());
    key.setSeed(seed.data());
    WipedString text;
    text.text = std::string(kSecretFormatLine) + "\n" + kSeedPrefix + toHex(seed) + "\n";
    sodium_memzero(seed.data(), seed.size());
    std::FILE* file = createPrivateFile(keyFile);
    if (!file) {
      *why = std::filesystem::exists(keyFile) ? "it exists already; a key file is never overwritten"
                                              : "it cannot be created";
      return false;
    }
    if (!writeAll(file, text.text)) {
      std::error_code ignored;
      std::filesystem::remove(keyFile, ignored);
      *why = "it cannot be written";
      return false;
    }
  }
  std::filesystem::path pub = keyFile;
  pub += ".pub";
  std::ofstream out(pub, std::ios::binary | std::ios::trunc);
  out << formatPublicKey(key.publicKey()) << "\n";
  out.close();
  if (!out) {
    *why = pub.u8string() + " cannot be written";
    return false;
  }
  *publicKey = key.publicKey();
  return true;
}

bool loadSecretKey(const std::filesystem::path& keyFile, SecretKey* key, std::string* why) {
  WipedString text;
  if (!readAll(keyFile, &text.text)) {
    *why = "cannot be read";
    return false;
  }
  const std::string head = std::string(kSecretFormatLine) + "\n" + kSeedPrefix;
  std::array<unsigned char, crypto_sign_SEEDBYTES> seed;
  WipedString hex;
  if (text.text.compare(0, head.size(), head) == 0) {
    hex.text = text.text.substr(head.size(), 2 * seed.size());
  }
  bool ok = text.text.size() == head.size() + 2 * seed.size() + 1 && text.text.back() == '\n' &&
            fromHex(hex.text, &seed);
  if (!ok) {
    *why = "is not a brightwick-pack secret key file";
    return false;
  }
  key->setSeed(seed.data());
  sodium_memzero(seed.data(), seed.size());
  return true;
}

bool loadPublicKey(const std::string& argument, PublicKey* key, std::string* why) {
  if (parsePublicKey(argument, key)) return true;
  std::string text;
  if (!readAll(std::filesystem::u8path(argument), &text)) {
    *why = "'" + argument + "' is neither a public key nor a readable .pub file";
    return false;
  }
  if (!parsePublicKey(text, key)) {
    *why = "'" + argument + "' does not hold a public key (ed25519:...)";
    return false;
  }
  return true;
}

std::uint64_t nextSerial(std::uint64_t previous, std::int64_t now) {
  // INT64_MAX: the updater reads a serial as a signed 64-bit number.
  if (previous >= static_cast<std::uint64_t>(INT64_MAX)) return 0;
  std::uint64_t clock = now > 0 ? static_cast<std::uint64_t>(now) : 0;
  return clock > previous ? clock : previous + 1;
}

std::string signatureFor(const SecretKey& key, std::uint64_t serial, const Sha256Digest& manifest,
                         const Sha256Digest* patchIndex, const Sha256Digest* bundleIndex) {
  std::string signedPart =
      signedPartOf(key.publicKey().id(), serial, manifest, patchIndex, bundleIndex);
  return signatureFileText(signedPart, key.sign(signedPart));
}
