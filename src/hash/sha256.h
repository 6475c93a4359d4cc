#pragma once

// SHA-256 from libsodium.

#include <sodium.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <string>

using Sha256Digest = std::array<unsigned char, crypto_hash_sha256_BYTES>;

// Makes libsodium ready for use; safe to call from any thread, any number of
// times. False if it cannot be (then nothing signed can be trusted).
bool initCrypto();

// SHA-256 of a stream of bytes, fed in pieces.
class Sha256 {
 public:
  Sha256();
  void update(const void* data, std::size_t size);
  // The digest of everything fed so far; the state starts over.
  Sha256Digest finish();

 private:
  crypto_hash_sha256_state state_;
};

// SHA-256 of `text`.
Sha256Digest sha256Of(const std::string& text);

// SHA-256 of the rest of the open file; false if a read failed.
bool sha256OfFile(std::FILE* file, Sha256Digest* digest);
