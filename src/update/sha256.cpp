#include "update/sha256.h"

#include <memory>

bool initCrypto() {
  // 0 the first time, 1 once done before; -1 only if it cannot work at all.
  return sodium_init() >= 0;
}

Sha256::Sha256() {
  crypto_hash_sha256_init(&state_);
}

void Sha256::update(const void* data, std::size_t size) {
  crypto_hash_sha256_update(&state_, static_cast<const unsigned char*>(data), size);
}

Sha256Digest Sha256::finish() {
  Sha256Digest digest;
  crypto_hash_sha256_final(&state_, digest.data());
  crypto_hash_sha256_init(&state_);
  return digest;
}

bool sha256OfFile(std::FILE* file, Sha256Digest* digest) {
  constexpr std::size_t kChunk = 256 * 1024;
  std::unique_ptr<unsigned char[]> chunk(new unsigned char[kChunk]);
  Sha256 sum;
  std::size_t got;
  while ((got = std::fread(chunk.get(), 1, kChunk, file)) > 0) sum.update(chunk.get(), got);
  *digest = sum.finish();
  return !std::ferror(file);
}

std::string toHex(const unsigned char* data, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0xF];
  }
  return text;
}
