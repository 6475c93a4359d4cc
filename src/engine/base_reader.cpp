#include "engine/base_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

BaseReader::BaseReader(std::FILE* file, std::uint64_t length, std::uint32_t blockSize,
                       int blockCount, const std::atomic<bool>* stop)
    : file_(file),
      length_(length),
      blockSize_(blockSize),
      blockShift_(0),
      // Never more than the file holds: a small base costs a small cache.
      blockBytes_(static_cast<std::size_t>(
          std::max<std::uint64_t>(1, std::min<std::uint64_t>(blockSize, length)))),
      stop_(stop),
      blocks_(static_cast<std::size_t>(std::max(blockCount, 1))) {
  while ((std::uint64_t{1} << blockShift_) < blockSize) ++blockShift_;
}

BaseReader::Block* BaseReader::held(std::uint64_t number) {
  if (last_ && last_->lastUse != 0 && last_->number == number) return last_;
  for (Block& candidate : blocks_) {
    if (candidate.lastUse != 0 && candidate.number == number) return &candidate;
  }
  return nullptr;
}

bool BaseReader::fill(std::uint64_t offset, std::size_t size, unsigned char* out) {
  if (stop_ && stop_->load()) {
    stopped_ = true;
    error_ = "stopped";
    return false;
  }
  ++reads_;
  if (!seek(file_, static_cast<std::int64_t>(offset)) || std::fread(out, 1, size, file_) != size) {
    error_ = "cannot read the base file";
    return false;
  }
  return true;
}

const unsigned char* BaseReader::block(std::uint64_t number) {
  Block* chosen = held(number);
  if (!chosen) {
    chosen = &*std::min_element(blocks_.begin(), blocks_.end(), [](const Block& a, const Block& b) {
      return a.lastUse < b.lastUse;
    });
    chosen->lastUse = 0;
    const std::uint64_t offset = number << blockShift_;
    const std::size_t bytes =
        static_cast<std::size_t>(std::min<std::uint64_t>(blockSize_, length_ - offset));
    if (!chosen->data) chosen->data.reset(new unsigned char[blockBytes_]);
    if (!fill(offset, bytes, chosen->data.get())) return nullptr;
    chosen->number = number;
  }
  chosen->lastUse = ++clock_;
  last_ = chosen;
  return chosen->data.get();
}

bool BaseReader::read(std::uint64_t offset, std::size_t size, unsigned char* out) {
  while (size > 0) {
    const std::uint64_t number = offset >> blockShift_;
    const std::size_t within = static_cast<std::size_t>(offset & (blockSize_ - 1));
    const std::size_t piece = std::min<std::size_t>(size, blockSize_ - within);
    if (piece == blockSize_ && !held(number)) {
      // A whole block that is not held goes straight where it is wanted:
      // a long copy (most of a patch) costs no second copy, and takes no
      // block of the cache, which is left for the short ones.
      if (!fill(offset, piece, out)) return false;
    } else {
      const unsigned char* data = block(number);
      if (!data) return false;
      std::memcpy(out, data + within, piece);
    }
    out += piece;
    offset += piece;
    size -= piece;
  }
  return true;
}
