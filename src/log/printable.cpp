#include "log/printable.h"

#include <cstddef>

namespace {

constexpr std::size_t kMaxLoggedText = 200;

bool isC0OrDelete(unsigned char c) {
  return c < 0x20 || c == 0x7f;
}

}  // namespace

bool isWellFormedUtf8(const std::string& text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t size = text.size();
  for (std::size_t i = 0; i < size;) {
    unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    // The bounds of the second byte exclude overlong forms (E0, F0),
    // surrogates (ED) and code points beyond U+10FFFF (F4), per RFC 3629.
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (size - i < length) return false;
    if (bytes[i + 1] < low || bytes[i + 1] > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (bytes[i + k] < 0x80 || bytes[i + k] > 0xBF) return false;
    }
    i += length;
  }
  return true;
}

std::string printableText(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  if (isWellFormedUtf8(text)) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      auto byte = static_cast<unsigned char>(text[i]);
      auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
      if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
        shown += '?';
        ++i;
      } else {
        shown += isC0OrDelete(byte) ? '?' : text[i];
      }
    }
  } else {
    for (char c : text) {
      auto byte = static_cast<unsigned char>(c);
      shown += isC0OrDelete(byte) || (byte >= 0x80 && byte <= 0x9F) ? '?' : c;
    }
  }
  return shown;
}

std::string printableForLog(const std::string& text) {
  // Cut first, on a byte count; a cut through a character then reads as
  // 8-bit text, which is still shown safely.
  std::string shown = printableText(text.substr(0, kMaxLoggedText));
  if (text.size() > kMaxLoggedText) shown += "...";
  return shown;
}
