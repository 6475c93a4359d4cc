#pragma once

// The base (old) file of a patch, read in blocks through a small cache of
// fixed size, at 64-bit offsets: a 32-bit updater copies from any part of a
// 2 GB base while holding only a few blocks of it. A copy that takes a whole
// block the cache does not hold reads it straight into place instead.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

class BaseReader {
 public:
  // `length` is the file's length, fixed now: a block that reads back
  // shorter is an error (the file changed). `blockSize` is a power of two;
  // the `blockCount` blocks used last stay in memory. Every block read
  // first looks at `stop` (may be null) and fails once it is true.
  BaseReader(std::FILE* file, std::uint64_t length, std::uint32_t blockSize, int blockCount,
             const std::atomic<bool>* stop);
  BaseReader(const BaseReader&) = delete;
  BaseReader& operator=(const BaseReader&) = delete;

  // Copies `size` bytes from `offset` to `out`; the caller has checked that
  // they lie within the file. False, with error() saying why, when a block
  // cannot be read or the stop flag is up.
  bool read(std::uint64_t offset, std::size_t size, unsigned char* out);

  std::uint64_t length() const { return length_; }
  const std::string& error() const { return error_; }
  bool stopped() const { return stopped_; }
  // Blocks read from the file so far, a block read again counted again.
  std::uint64_t reads() const { return reads_; }

 private:
  struct Block {
    std::uint64_t number = 0;
    std::uint64_t lastUse = 0;  // 0: holds nothing
    // Left uninitialised: only what a read fills is ever touched.
    std::unique_ptr<unsigned char[]> data;
  };

  // The block if it is held, else null.
  Block* held(std::uint64_t number);
  // The block, read into the cache if it is not held; null on failure.
  const unsigned char* block(std::uint64_t number);
  // Reads `size` bytes at `offset` from the file, once the stop flag has
  // been looked at.
  bool fill(std::uint64_t offset, std::size_t size, unsigned char* out);

  std::FILE* file_;
  std::uint64_t length_;
  std::uint32_t blockSize_;
  unsigned blockShift_;
  std::size_t blockBytes_;
  const std::atomic<bool>* stop_;
  std::vector<Block> blocks_;
  // The block used last, looked at first: copies mostly run on in order.
  Block* last_ = nullptr;
  std::uint64_t clock_ = 0;
  std::uint64_t reads_ = 0;
  bool stopped_ = false;
  std::string error_;
};
