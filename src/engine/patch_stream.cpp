#include "engine/patch_stream.h"

#include <algorithm>
#include <climits>

namespace {

constexpr std::size_t kInputBuffer = 64u << 10;

}  // namespace

PatchStream::PatchStream(std::FILE* file, PatchForm form) : file_(file), form_(form) {
  if (form_ != PatchForm::zlib) return;
  input_.reset(new unsigned char[kInputBuffer]);
  zlibOpen_ = inflateInit(&zlib_) == Z_OK;
  if (!zlibOpen_) error_ = "cannot inflate the patch";
}

PatchStream::~PatchStream() {
  if (zlibOpen_) inflateEnd(&zlib_);
}

int PatchStream::get() {
  unsigned char byte = 0;
  return read(&byte, 1) == 1 ? byte : EOF;
}

std::size_t PatchStream::read(unsigned char* into, std::size_t count) {
  if (failed() || count == 0) return 0;
  if (form_ == PatchForm::plain) {
    const std::size_t got = std::fread(into, 1, count, file_);
    if (got < count && std::ferror(file_)) error_ = "cannot read the patch";
    return got;
  }
  std::size_t total = 0;
  while (total < count && !ended_ && !failed()) {
    // zlib counts in uInt: large reads go in pieces.
    const std::size_t piece = std::min<std::size_t>(count - total, UINT_MAX);
    total += inflateInto(into + total, piece);
  }
  return total;
}

std::size_t PatchStream::inflateInto(unsigned char* into, std::size_t count) {
  zlib_.next_out = into;
  zlib_.avail_out = static_cast<uInt>(count);
  while (zlib_.avail_out > 0) {
    if (zlib_.avail_in == 0) {
      const std::size_t got = std::fread(input_.get(), 1, kInputBuffer, file_);
      if (got == 0) {
        error_ = std::ferror(file_) ? "cannot read the patch"
                                    : "truncated patch (its zlib stream is cut short)";
        break;
      }
      zlib_.next_in = input_.get();
      zlib_.avail_in = static_cast<uInt>(got);
    }
    const int result = inflate(&zlib_, Z_NO_FLUSH);
    if (result == Z_STREAM_END) {
      ended_ = true;
      // The served file is exactly one stream: anything after it is not
      // what the publisher wrote.
      if (zlib_.avail_in > 0 || std::fgetc(file_) != EOF) {
        error_ = "corrupt patch: bytes after its zlib stream";
      } else if (std::ferror(file_)) {
        error_ = "cannot read the patch";
      }
      break;
    }
    if (result != Z_OK) {
      error_ =
          result == Z_MEM_ERROR ? "cannot inflate the patch" : "corrupt patch (its zlib stream)";
      break;
    }
  }
  return count - zlib_.avail_out;
}
