#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "hash/crc32.h"

namespace {

std::uint32_t zlibCrc(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  return static_cast<std::uint32_t>(crc32(crc, data, static_cast<uInt>(size)));
}

// Every way this machine can sum, not only the one crc32Update picks here.
std::vector<CrcWay> availableWays() {
  std::vector<CrcWay> ways;
  for (CrcWay way : {CrcWay::table, CrcWay::fold16, CrcWay::fold32})
    if (crcWayAvailable(way)) ways.push_back(way);
  return ways;
}

TEST(Checksum, EveryWayMatchesZlibForEveryLengthAndAlignment) {
  std::mt19937 random(7);
  std::vector<unsigned char> bytes(70000);
  for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random());
  ASSERT_TRUE(crcWayAvailable(CrcWay::table));
  for (CrcWay way : availableWays()) {
    SCOPED_TRACE(static_cast<int>(way));
    // Around each block size of the foldings (16, 64, 128) and well beyond
    // it, at every alignment, continued from a CRC other than 0.
    for (std::size_t size = 0; size < 400; ++size) {
      for (std::size_t offset = 0; offset < 32; ++offset) {
        ASSERT_EQ(crc32By(way, 0x12345678, bytes.data() + offset, size),
                  zlibCrc(0x12345678, bytes.data() + offset, size))
            << size << " at " << offset;
      }
    }
    for (std::size_t size : {4095u, 4096u, 65536u, 65537u, 69999u}) {
      EXPECT_EQ(crc32By(way, 0, bytes.data() + 1, size), zlibCrc(0, bytes.data() + 1, size));
    }
  }
  // And what the check uses is one of them.
  for (std::size_t size : {0u, 63u, 64u, 127u, 128u, 144u, 69999u}) {
    EXPECT_EQ(crc32Update(0, bytes.data() + 3, size), zlibCrc(0, bytes.data() + 3, size));
  }
}

TEST(Checksum, KnownValuesAndPiecewiseContinuation) {
  const unsigned char digits[] = "123456789";
  EXPECT_EQ(crc32Update(0, digits, 9), 0xCBF43926u);  // the CRC-32 check value
  EXPECT_EQ(crc32Update(0, nullptr, 0), 0u);
  std::vector<unsigned char> zeros(1000, 0), ones(1000, 0xFF);
  EXPECT_EQ(crc32Update(0, zeros.data(), zeros.size()), zlibCrc(0, zeros.data(), zeros.size()));
  EXPECT_EQ(crc32Update(0, ones.data(), ones.size()), zlibCrc(0, ones.data(), ones.size()));
  // A file read in chunks of any size sums to the same CRC.
  std::vector<unsigned char> bytes(100000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 31 + 7);
  std::uint32_t whole = crc32Update(0, bytes.data(), bytes.size());
  for (std::size_t chunk : {1u, 17u, 64u, 4096u, 33333u}) {
    std::uint32_t crc = 0;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
      crc = crc32Update(crc, bytes.data() + at, std::min(chunk, bytes.size() - at));
    }
    EXPECT_EQ(crc, whole) << chunk;
  }
}

}  // namespace
