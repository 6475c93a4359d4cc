#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>

#include "hash/sha256.h"

inline constexpr int kEngineBufferSize = 4096;
// What decompress and compress return when a run was aborted.
inline constexpr int kUserAbort = -7;

// Streams one file into another through zlib with two fixed 4096-byte
// buffers, so memory stays the same whatever the file sizes. The engine is
// its own z_stream: every zlib call gets `this`.
//
// Derived classes may follow a run through the two hooks; the base class
// leaves both empty. Not thread-safe: one run at a time per instance.
class ZlibEngine : public z_stream_s {
 public:
  ZlibEngine();

  // Called during a run with the share of the input consumed so far.
  virtual void reportProgress(int percent);
  // Called once at the end of a run with "Success", "Zlib Error" or
  // "User Abort".
  virtual void reportStatus(const char* message);

  // Inflates the zlib stream in `inputPath` into `outputPath`. Returns 0 once
  // the stream's end was reached (bytes after it are ignored), kUserAbort if
  // aborted, -1 (Z_ERRNO) if a file could not be opened or a write fell
  // short, otherwise zlib's failing result (Z_DATA_ERROR for corrupt input,
  // Z_BUF_ERROR for truncated or empty input). If `inputPath` does not open,
  // `outputPath` is left untouched.
  int decompress(const char* inputPath, const char* outputPath);
  // The same between two files the caller opened (and closes); the output
  // is written from its current position.
  int decompress(std::FILE* inputFile, std::FILE* outputFile);
  // Deflates `inputPath` into a zlib stream in `outputPath` at zlib `level`;
  // results as for decompress.
  int compress(const char* inputPath, const char* outputPath, int level);
  // The same between two files the caller opened (and closes).
  int compress(std::FILE* inputFile, std::FILE* outputFile, int level);

  // Reads the next chunk of `input` if the input buffer is empty; returns the
  // bytes now available to zlib, 0 at end of file.
  int refillInput();
  // Writes what zlib put in the output buffer and makes the buffer free
  // again; returns the count written, 0 if there was nothing to write or the
  // write fell short (then lastError is -1).
  int drainOutput();
  // Share of the input consumed so far, 0 to 100, in unsigned 32-bit
  // arithmetic that cannot overflow for any signed 32-bit inputLength.
  int percentConsumed();

  int abortRequested;  // nonzero stops a run at the next loop test
  std::FILE* input;    // open only during a run
  std::FILE* output;   // open only during a run
  std::int32_t inputLength;
  int lastError;  // last zlib result, or -1 after a short write
  unsigned char inputBuffer[kEngineBufferSize];
  unsigned char outputBuffer[kEngineBufferSize];

  // Most bytes a run may write; 0 means no bound. A run that would write
  // more fails as a short write does, so an inflated stream cannot grow
  // beyond what its caller expects (and fill the disk).
  std::uint64_t outputLimit;

  // CRC-32 (zlib's, from 0) of every byte a run read and wrote, kept as the
  // bytes pass, so that a caller knows exactly what went through without
  // reading a file again.
  std::uint32_t inputCrc;
  std::uint32_t outputCrc;
  // Where set, the SHA-256 of the same bytes is taken as well; the caller
  // owns both and reads the digests after the run.
  Sha256* inputHash;
  Sha256* outputHash;

 private:
  enum class Direction { inflate, deflate };
  int run(const char* inputPath, const char* outputPath, Direction direction, int level);
  int runOpen(std::FILE* in, std::FILE* out, Direction direction, int level);
  int step(Direction direction, int flush);

  // A write that fell short, anywhere in the run. It decides the result even
  // when a later zlib call succeeds, because the output already lacks bytes.
  bool writeFailed;
};
