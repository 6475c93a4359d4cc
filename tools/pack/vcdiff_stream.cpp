#include "vcdiff_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/platform.h"

namespace {

// Each allocation carries its size in front, aligned for any type.
constexpr std::size_t kSizeHeader = alignof(std::max_align_t);
static_assert(kSizeHeader >= sizeof(std::size_t), "no room for the size");

}  // namespace

VcdiffStream::VcdiffStream(xd3_config config, std::uint64_t memoryLimit) : limit_(memoryLimit) {
  config.alloc = &VcdiffStream::allocate;
  config.freef = &VcdiffStream::release;
  config.opaque = this;
  configured_ = xd3_config_stream(&stream_, &config) == 0;
}

VcdiffStream::~VcdiffStream() { xd3_free_stream(&stream_); }

std::string VcdiffStream::error(int result) {
  std::string text = xd3_errstring(&stream_);
  if (text.empty()) {
    const char* name = xd3_strerror(result);
    text = name ? name : std::strerror(result);
  }
  return text;
}

void* VcdiffStream::allocate(void* opaque, std::size_t items, usize_t size) {
  auto* self = static_cast<VcdiffStream*>(opaque);
  if (size != 0 && items > (std::numeric_limits<std::size_t>::max() - kSizeHeader) / size) {
    return nullptr;
  }
  const std::size_t bytes = items * size;
  if (bytes > self->limit_ - self->live_) return nullptr;
  void* block = std::malloc(kSizeHeader + bytes);
  if (!block) return nullptr;
  std::memcpy(block, &bytes, sizeof bytes);
  self->live_ += bytes;
  self->peak_ = std::max(self->peak_, self->live_);
  return static_cast<unsigned char*>(block) + kSizeHeader;
}

void VcdiffStream::release(void* opaque, void* address) {
  if (!address) return;
  auto* self = static_cast<VcdiffStream*>(opaque);
  void* block = static_cast<unsigned char*>(address) - kSizeHeader;
  std::size_t bytes;
  std::memcpy(&bytes, block, sizeof bytes);
  self->live_ -= bytes;
  std::free(block);
}

BaseBlocks::BaseBlocks(std::FILE* file, std::int64_t length, std::uint32_t blockSize,
                       int blockCount, const std::atomic<bool>* stop)
    : file_(file),
      length_(length),
      blockSize_(blockSize),
      // Never more than the file holds: a small base costs a small cache.
      blockBytes_(static_cast<std::size_t>(std::max<std::int64_t>(
          1, std::min<std::int64_t>(blockSize, std::max<std::int64_t>(length, 0))))),
      stop_(stop),
      blocks_(static_cast<std::size_t>(std::max(blockCount, 1))) {
  source_.blksize = blockSize;
  source_.name = "base";
  source_.ioh = this;
  source_.max_winsize = static_cast<xoff_t>(blockSize) * blocks_.size();
  source_.curblkno = static_cast<xoff_t>(-1);
}

int BaseBlocks::attach(xd3_stream* stream, std::uint32_t window) {
  if (window != 0) source_.max_winsize = window;
  stream->getblk = &BaseBlocks::getBlock;
  return xd3_set_source_and_size(stream, &source_, static_cast<xoff_t>(length_));
}

int BaseBlocks::getBlock(xd3_stream*, xd3_source* source, xoff_t number) {
  auto* self = static_cast<BaseBlocks*>(source->ioh);
  if (self->stop_ && self->stop_->load()) {
    self->stopped_ = true;
    self->error_ = "stopped";
    return XD3_INTERNAL;
  }
  Block* chosen = nullptr;
  for (Block& block : self->blocks_) {
    if (block.lastUse != 0 && block.number == number) {
      chosen = &block;
      break;
    }
  }
  if (!chosen) {
    chosen = &*std::min_element(
        self->blocks_.begin(), self->blocks_.end(),
        [](const Block& a, const Block& b) { return a.lastUse < b.lastUse; });
    if (int result = self->fill(*chosen, number)) return result;
  }
  chosen->lastUse = ++self->clock_;
  source->curblkno = number;
  source->onblk = chosen->bytes;
  source->curblk = chosen->data.get();
  return 0;
}

int BaseBlocks::fill(Block& block, std::uint64_t number) {
  block.lastUse = 0;
  // A patch may name any block, also one far past the end (where the offset
  // would overflow): those hold nothing, and the decoder reports the copy
  // from them.
  const std::uint64_t length = static_cast<std::uint64_t>(length_);
  const std::uint64_t lastBlock = length / blockSize_;
  std::size_t bytes = 0;
  if (number <= lastBlock) {
    const std::uint64_t offset = number * blockSize_;
    bytes = static_cast<std::size_t>(std::min<std::uint64_t>(blockSize_, length - offset));
  }
  if (!block.data) block.data.reset(new unsigned char[blockBytes_]);
  if (bytes > 0) {
    ++reads_;
    if (!seek(file_, static_cast<std::int64_t>(number * blockSize_)) ||
        std::fread(block.data.get(), 1, bytes, file_) != bytes) {
      error_ = "cannot read the base file";
      return EIO;
    }
  }
  block.number = number;
  block.bytes = static_cast<usize_t>(bytes);
  return 0;
}
