#include "hash/sha256.h"

#include "hash/file_reader.h"

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

Sha256Digest sha256Of(const std::string& text) {
  Sha256 sum;
  sum.update(text.data(), text.size());
  return sum.finish();
}

bool sha256OfFile(std::FILE* file, Sha256Digest* digest) {
  Sha256 sum;
  bool read = readChunks(
      file, [&sum](const unsigned char* data, std::size_t size) { sum.update(data, size); });
  *digest = sum.finish();
  return read;
}
