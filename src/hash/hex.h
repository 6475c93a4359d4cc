#pragma once

// Lowercase hex, the one spelling the signed formats carry digests and keys
// in.

#include <array>
#include <cstddef>
#include <string>

// `size` bytes as lowercase hex.
inline std::string toHex(const unsigned char* data, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0xF];
  }
  return text;
}

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
