#include <cpuid.h>
#include <immintrin.h>

#include "update/checksum.h"

// CRC-32 by folding with carry-less multiplication (PCLMULQDQ), after Intel's
// "Fast CRC Computation for Generic Polynomials Using PCLMULQDQ Instruction".
// The constants are powers of x modulo the reflected CRC-32 polynomial, and
// the Barrett reduction's polynomial and its quotient.

namespace {

alignas(16) const std::uint64_t kFoldBy4[2] = {0x0154442bd4, 0x01c6e41596};
alignas(16) const std::uint64_t kFoldBy1[2] = {0x01751997d0, 0x00ccaa009e};
alignas(16) const std::uint64_t kFold64[2] = {0x0163cd6124, 0};
alignas(16) const std::uint64_t kBarrett[2] = {0x01db710641, 0x01f7011641};

// The folding works on multiples of 16 bytes, at least 64; zlib's tables
// take the rest.
constexpr std::size_t kMinimumBlock = 64;

bool hasCarrylessMultiply() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  return (ecx & bit_PCLMUL) != 0 && (ecx & bit_SSE4_1) != 0;
}

const bool kCarrylessMultiply = hasCarrylessMultiply();

// Everything that touches the vector registers is compiled for the
// instructions it needs, and only called once the processor has them.
#define CARRYLESS __attribute__((target("pclmul,sse4.1")))

CARRYLESS __m128i load(const unsigned char* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// `into` multiplied by the fold constants in `k`, plus `next`.
CARRYLESS __m128i fold(__m128i into, __m128i next, __m128i k) {
  __m128i low = _mm_clmulepi64_si128(into, k, 0x00);
  __m128i high = _mm_clmulepi64_si128(into, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// `size` is a multiple of 16 and at least 64. Takes and returns the CRC in
// its inverted (register) form.
CARRYLESS std::uint32_t foldedCrc(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  __m128i x1 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = load(data + 16);
  __m128i x3 = load(data + 32);
  __m128i x4 = load(data + 48);
  data += 64;
  size -= 64;

  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFoldBy4));
  // Four independent lanes keep the multiplier busy.
  while (size >= 64) {
    x1 = fold(x1, load(data), k);
    x2 = fold(x2, load(data + 16), k);
    x3 = fold(x3, load(data + 32), k);
    x4 = fold(x4, load(data + 48), k);
    data += 64;
    size -= 64;
  }

  // Four lanes into one, then the remaining 16-byte blocks.
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFoldBy1));
  x1 = fold(fold(fold(x1, x2, k), x3, k), x4, k);
  while (size >= 16) {
    x1 = fold(x1, load(data), k);
    data += 16;
    size -= 16;
  }

  // 128 bits to 64, then Barrett reduction to 32.
  const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x2 = _mm_clmulepi64_si128(x1, k, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kFold64));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x00), x2);
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kBarrett));
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x10);
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, mask32), k, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

}  // namespace

std::uint32_t crc32Update(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  if (kCarrylessMultiply && size >= kMinimumBlock) {
    std::size_t folded = size & ~static_cast<std::size_t>(15);
    crc = ~foldedCrc(~crc, data, folded);
    data += folded;
    size -= folded;
  }
  return crc32ByTable(crc, data, size);
}
