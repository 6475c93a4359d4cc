#pragma once

// The bytes of a patch as the decoder reads them: straight from the served
// file, or inflated from the zlib stream a patch may also be served as
// (docs/formats.md, update.patches). Inflating as the decoder reads keeps the
// patch's plain bytes off the disk and out of memory: only zlib's window and
// one buffer of the served file are held.

#include <zlib.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

enum class PatchForm { plain, zlib };

class PatchStream {
 public:
  // Reads `file` from its position to its end; the caller opens and closes it.
  PatchStream(std::FILE* file, PatchForm form);
  ~PatchStream();
  PatchStream(const PatchStream&) = delete;
  PatchStream& operator=(const PatchStream&) = delete;

  // Up to `count` bytes into `into`; fewer only at the end or on a failure
  // (then failed() says so).
  std::size_t read(unsigned char* into, std::size_t count);
  // The next byte, or EOF at the end or on a failure.
  int get();
  // A read failed, or the zlib stream is corrupt, cut short or followed by
  // other bytes; error() says which.
  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

 private:
  std::size_t inflateInto(unsigned char* into, std::size_t count);

  std::FILE* file_;
  PatchForm form_;
  z_stream zlib_{};
  bool zlibOpen_ = false;
  bool ended_ = false;
  std::unique_ptr<unsigned char[]> input_;
  std::string error_;
};
