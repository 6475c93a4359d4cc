#pragma once

// SHA-256 from libsodium, and the lowercase hex the signed formats carry it
// in.

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

// SHA-256 of the rest of the open file, read in bounded chunks; false if a
// read failed.
bool sha256OfFile(std::FILE* file, Sha256Digest* digest);

// `size` bytes as lowercase hex.
std::string toHex(const unsigned char* data, std::size_t size);
template <std::size_t N>
std::string toHex(const std::array<unsigned char, N>& bytes) {
  return toHex(bytes.data(), N);
}

// Exactly 2 * N lowercase hex digits into `bytes`; false for anything else
// (upper case included: the formats have one spelling, so a signed text has
// one meaning).
template <std::size_t N>
bool fromHex(const std::string& text, std::array<unsigned char, N>* bytes) {
  if (text.size() != 2 * N) return false;
  for (std::size_t i = 0; i < N; ++i) {
    int value = 0;
    for (std::size_t k = 0; k < 2; ++k) {
      char c = text[2 * i + k];
      int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    (*bytes)[i] = static_cast<unsigned char>(value);
  }
  return true;
}
