#pragma once

// What brightwick-pack's patch maker and its xdelta3 applier (the
// cross-check of the updater's own decoder) share around xdelta3: its C
// declarations, a stream that frees its memory whatever happens and may be
// held to a memory budget, and the base (old) file read block by block
// through a small cache, at 64-bit offsets, for xdelta3's source callback.
// The updater never includes this header: xdelta3 is GPL, and the updater
// links none of it.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <xdelta3.h>
}
// xdelta3.h leaves printf helpers with one-letter names defined; nothing
// below needs them, and they would break any C++ using those names.
#undef Q
#undef Z
#undef DP
#undef RINT

// One xdelta3 stream, configured at construction and freed at destruction.
// Every allocation the library makes for it is counted; one that would take
// the live total past `memoryLimit` bytes fails, which the library reports
// as ENOMEM. That bounds the memory a hostile patch can claim, whatever
// window and section sizes it announces.
class VcdiffStream {
 public:
  VcdiffStream(xd3_config config, std::uint64_t memoryLimit);
  ~VcdiffStream();
  VcdiffStream(const VcdiffStream&) = delete;
  VcdiffStream& operator=(const VcdiffStream&) = delete;

  // Whether the configuration was accepted.
  bool configured() const { return configured_; }
  xd3_stream* get() { return &stream_; }
  // The library's message for `result`, a failed call's return value.
  std::string error(int result);
  // The most bytes that were live at once.
  std::uint64_t peakMemory() const { return peak_; }

 private:
  static void* allocate(void* opaque, std::size_t items, usize_t size);
  static void release(void* opaque, void* address);

  xd3_stream stream_{};
  bool configured_ = false;
  std::uint64_t limit_;
  std::uint64_t live_ = 0;
  std::uint64_t peak_ = 0;
};

// The base file as xdelta3's source: read through seek and fread in blocks
// of `blockSize` bytes (a power of two), of which the `blockCount` used last
// stay in memory. The file is read from its start; its length is fixed when
// the cache is made, and a block that reads back shorter is an error (the
// file changed). Every read first looks at `stop` (may be null): once it is
// true the read fails, and with it the xdelta3 call that wanted the block.
class BaseBlocks {
 public:
  BaseBlocks(std::FILE* file, std::int64_t length, std::uint32_t blockSize, int blockCount,
             const std::atomic<bool>* stop);
  BaseBlocks(const BaseBlocks&) = delete;
  BaseBlocks& operator=(const BaseBlocks&) = delete;

  // Makes this file the source of `stream` (which must not outlive it).
  // An encoder indexes `window` bytes of it at a time (a power of two; 0:
  // as much as the cache holds); a decoder ignores it. Returns xdelta3's
  // result: 0 on success.
  int attach(xd3_stream* stream, std::uint32_t window = 0);

  // Why the last block could not be given ("" if none failed).
  const std::string& error() const { return error_; }
  bool stopped() const { return stopped_; }
  // Blocks read from the file so far, a block read again counted again.
  std::uint64_t reads() const { return reads_; }

 private:
  struct Block {
    std::uint64_t number = 0;
    std::uint64_t lastUse = 0;  // 0: never filled
    usize_t bytes = 0;
    // Left uninitialised: only what a read fills is ever touched.
    std::unique_ptr<unsigned char[]> data;
  };

  static int getBlock(xd3_stream* stream, xd3_source* source, xoff_t number);
  int fill(Block& block, std::uint64_t number);

  std::FILE* file_;
  std::int64_t length_;
  std::uint32_t blockSize_;
  std::size_t blockBytes_;
  const std::atomic<bool>* stop_;
  std::vector<Block> blocks_;
  std::uint64_t clock_ = 0;
  std::uint64_t reads_ = 0;
  bool stopped_ = false;
  std::string error_;
  xd3_source source_{};
};
