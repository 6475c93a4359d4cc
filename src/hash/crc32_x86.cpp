#include <cpuid.h>
#include <immintrin.h>

#include "hash/crc32.h"

// CRC-32 by folding with carry-less multiplication (PCLMULQDQ), after Intel's
// "Fast CRC Computation for Generic Polynomials Using PCLMULQDQ Instruction".
// The constants are powers of x modulo the reflected CRC-32 polynomial, and
// the Barrett reduction's polynomial and its quotient.

namespace {

alignas(16) const std::uint64_t kFoldBy4[2] = {0x0154442bd4, 0x01c6e41596};
alignas(16) const std::uint64_t kFoldBy1[2] = {0x01751997d0, 0x00ccaa009e};
alignas(16) const std::uint64_t kFold64[2] = {0x0163cd6124, 0};
alignas(16) const std::uint64_t kBarrett[2] = {0x01db710641, 0x01f7011641};
// x^(1024+32) and x^(1024-32): four 32-byte lanes fold across 128 bytes.
const long long kFoldBy8High = 0x01e88ef372;
const long long kFoldBy8Low = 0x014a7fe880;

// The folding works on multiples of 16 bytes, at least 64 (128 for the wide
// one); zlib's tables take the rest.
constexpr std::size_t kMinimumBlock = 64;
constexpr std::size_t kMinimumWideBlock = 128;

bool hasCarrylessMultiply() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  return (ecx & bit_PCLMUL) != 0 && (ecx & bit_SSE4_1) != 0;
}

// The 256-bit registers need the processor's instructions and a system that
// saves those registers across thread switches (XGETBV says so); Windows XP
// and older kernels do not.
bool hasWideCarrylessMultiply() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return false;
  unsigned low, high;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  if ((low & 6) != 6) return false;  // SSE and AVX state
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return (ebx & bit_AVX2) != 0 && (ecx & bit_VPCLMULQDQ) != 0 && hasCarrylessMultiply();
}

const bool kCarrylessMultiply = hasCarrylessMultiply();
const bool kWideCarrylessMultiply = hasWideCarrylessMultiply();

// Everything that touches the vector registers is compiled for the
// instructions it needs, and only called once the processor has them.
#define CARRYLESS __attribute__((target("pclmul,sse4.1")))
#define WIDE_CARRYLESS __attribute__((target("avx2,vpclmulqdq,pclmul,sse4.1")))

CARRYLESS __m128i load(const unsigned char* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// `into` multiplied by the fold constants in `k`, plus `next`.
CARRYLESS __m128i fold(__m128i into, __m128i next, __m128i k) {
  __m128i low = _mm_clmulepi64_si128(into, k, 0x00);
  __m128i high = _mm_clmulepi64_si128(into, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// Folds the remaining 16-byte blocks into `x1`, then reduces 128 bits to 64
// and by Barrett reduction to the 32-bit CRC (in its inverted form).
CARRYLESS std::uint32_t foldTail(__m128i x1, const unsigned char* data, std::size_t size) {
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFoldBy1));
  while (size >= 16) {
    x1 = fold(x1, load(data), k);
    data += 16;
    size -= 16;
  }

  const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
  __m128i x2 = _mm_clmulepi64_si128(x1, k, 0x10);
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

  // Four lanes into one.
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFoldBy1));
  x1 = fold(fold(fold(x1, x2, k), x3, k), x4, k);
  return foldTail(x1, data, size);
}

WIDE_CARRYLESS __m256i load256(const unsigned char* at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

// Both 128-bit halves of `into` folded as `fold` does, plus `next`.
WIDE_CARRYLESS __m256i fold256(__m256i into, __m256i next, __m256i k) {
  __m256i low = _mm256_clmulepi64_epi128(into, k, 0x00);
  __m256i high = _mm256_clmulepi64_epi128(into, k, 0x11);
  return _mm256_xor_si256(_mm256_xor_si256(low, high), next);
}

// Eight 16-byte lanes, in two halves of four 32-byte registers: twice the
// bytes a step of foldedCrc. `size` is a multiple of 16 and at least 128.
WIDE_CARRYLESS std::uint32_t wideFoldedCrc(std::uint32_t crc, const unsigned char* data,
                                           std::size_t size) {
  __m256i first = _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(crc)));
  __m256i y1 = _mm256_xor_si256(load256(data), first);
  __m256i y2 = load256(data + 32);
  __m256i y3 = load256(data + 64);
  __m256i y4 = load256(data + 96);
  data += 128;
  size -= 128;

  const __m256i k8 = _mm256_setr_epi64x(kFoldBy8High, kFoldBy8Low, kFoldBy8High, kFoldBy8Low);
  while (size >= 128) {
    y1 = fold256(y1, load256(data), k8);
    y2 = fold256(y2, load256(data + 32), k8);
    y3 = fold256(y3, load256(data + 64), k8);
    y4 = fold256(y4, load256(data + 96), k8);
    data += 128;
    size -= 128;
  }

  // The eight lanes into one, in the order of their bytes.
  const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFoldBy1));
  __m128i x = _mm256_castsi256_si128(y1);
  x = fold(x, _mm256_extracti128_si256(y1, 1), k);
  x = fold(x, _mm256_castsi256_si128(y2), k);
  x = fold(x, _mm256_extracti128_si256(y2, 1), k);
  x = fold(x, _mm256_castsi256_si128(y3), k);
  x = fold(x, _mm256_extracti128_si256(y3, 1), k);
  x = fold(x, _mm256_castsi256_si128(y4), k);
  x = fold(x, _mm256_extracti128_si256(y4, 1), k);
  return foldTail(x, data, size);
}

}  // namespace

bool crcWayAvailable(CrcWay way) {
  switch (way) {
    case CrcWay::table:
      return true;
    case CrcWay::fold16:
      return kCarrylessMultiply;
    case CrcWay::fold32:
      return kWideCarrylessMultiply;
  }
  return false;
}

std::uint32_t crc32By(CrcWay way, std::uint32_t crc, const unsigned char* data, std::size_t size) {
  if (way == CrcWay::fold32 && size >= kMinimumWideBlock) {
    std::size_t folded = size & ~static_cast<std::size_t>(15);
    crc = ~wideFoldedCrc(~crc, data, folded);
    data += folded;
    size -= folded;
  } else if (way != CrcWay::table && size >= kMinimumBlock) {
    std::size_t folded = size & ~static_cast<std::size_t>(15);
    crc = ~foldedCrc(~crc, data, folded);
    data += folded;
    size -= folded;
  }
  return crc32ByTable(crc, data, size);
}

std::uint32_t crc32Update(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  CrcWay way = kWideCarrylessMultiply ? CrcWay::fold32
               : kCarrylessMultiply   ? CrcWay::fold16
                                      : CrcWay::table;
  return crc32By(way, crc, data, size);
}
