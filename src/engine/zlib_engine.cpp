#include "engine/zlib_engine.h"

#include <memory>

#include "hash/crc32.h"
#include "platform/platform.h"

namespace {

// Larger stdio buffers than the engine's own: the engine hands over 4096
// bytes at a time, and a system call per 4 KiB would cost more than zlib.
constexpr std::size_t kStdioBufferSize = 64 * 1024;

auto openBuffered(const char* path, const char* mode) {
  auto file = openShared(path, mode);
  if (file) std::setvbuf(file.get(), nullptr, _IOFBF, kStdioBufferSize);
  return file;
}

}  // namespace

ZlibEngine::ZlibEngine()
    : z_stream_s(),
      abortRequested(0),
      input(nullptr),
      output(nullptr),
      inputLength(0),
      lastError(Z_OK),
      outputLimit(0),
      inputCrc(0),
      outputCrc(0),
      inputHash(nullptr),
      outputHash(nullptr),
      writeFailed(false) {
  zalloc = Z_NULL;
  zfree = Z_NULL;
  opaque = Z_NULL;
}

void ZlibEngine::reportProgress(int) {}

void ZlibEngine::reportStatus(const char*) {}

int ZlibEngine::decompress(const char* inputPath, const char* outputPath) {
  return run(inputPath, outputPath, Direction::inflate, 0);
}

int ZlibEngine::decompress(std::FILE* inputFile, std::FILE* outputFile) {
  return runOpen(inputFile, outputFile, Direction::inflate, 0);
}

int ZlibEngine::compress(const char* inputPath, const char* outputPath, int level) {
  return run(inputPath, outputPath, Direction::deflate, level);
}

int ZlibEngine::compress(std::FILE* inputFile, std::FILE* outputFile, int level) {
  return runOpen(inputFile, outputFile, Direction::deflate, level);
}

int ZlibEngine::refillInput() {
  if (avail_in == 0) {
    avail_in = static_cast<uInt>(std::fread(inputBuffer, 1, kEngineBufferSize, input));
    next_in = inputBuffer;
    inputCrc = crc32Update(inputCrc, inputBuffer, avail_in);
    if (inputHash) inputHash->update(inputBuffer, avail_in);
  }
  return static_cast<int>(avail_in);
}

int ZlibEngine::drainOutput() {
  int count = kEngineBufferSize - static_cast<int>(avail_out);
  if (count == 0) return 0;
  if (outputLimit != 0 && total_out > outputLimit) {
    lastError = Z_ERRNO;
    writeFailed = true;
    return 0;
  }
  outputCrc = crc32Update(outputCrc, outputBuffer, static_cast<std::size_t>(count));
  if (outputHash) outputHash->update(outputBuffer, static_cast<std::size_t>(count));
  if (std::fwrite(outputBuffer, 1, count, output) != static_cast<std::size_t>(count)) {
    lastError = Z_ERRNO;
    writeFailed = true;
    return 0;
  }
  next_out = outputBuffer;
  avail_out = kEngineBufferSize;
  return count;
}

int ZlibEngine::percentConsumed() {
  if (inputLength == 0) return 100;
  std::uint32_t consumed = static_cast<std::uint32_t>(total_in);
  std::uint32_t length = static_cast<std::uint32_t>(inputLength);
  if (inputLength <= 10000000) return static_cast<int>(consumed * 100u / length);
  return static_cast<int>(consumed / (length / 100u));
}

int ZlibEngine::step(Direction direction, int flush) {
  return direction == Direction::inflate ? ::inflate(this, flush) : ::deflate(this, flush);
}

int ZlibEngine::run(const char* inputPath, const char* outputPath, Direction direction, int level) {
  // The input is opened first so that a missing input never truncates the
  // output; both close on every path out of here, including a hook that
  // throws.
  auto in = openBuffered(inputPath, "rb");
  auto out = in ? openBuffered(outputPath, "wb") : nullptr;
  return runOpen(in.get(), out.get(), direction, level);
}

int ZlibEngine::runOpen(std::FILE* in, std::FILE* out, Direction direction, int level) {
  lastError = Z_OK;
  avail_in = 0;
  next_in = inputBuffer;
  avail_out = kEngineBufferSize;
  next_out = outputBuffer;
  abortRequested = 0;
  writeFailed = false;
  inputCrc = 0;
  outputCrc = 0;

  struct Release {
    ZlibEngine& engine;
    ~Release() { engine.input = engine.output = nullptr; }
  } release{*this};
  if (!in || !out) {
    lastError = Z_ERRNO;
    reportStatus("Zlib Error");
    return lastError;
  }
  input = in;
  output = out;
  std::int64_t length = fileLength(input);
  inputLength = length >= 0 && length <= INT32_MAX ? static_cast<std::int32_t>(length) : -1;

  if (direction == Direction::inflate) {
    inflateInit(this);
  } else {
    deflateInit(this, level);
  }
  struct End {
    ZlibEngine& engine;
    Direction direction;
    ~End() { direction == Direction::inflate ? inflateEnd(&engine) : deflateEnd(&engine); }
  } end{*this, direction};

  // Loop A: feed the whole input, draining after every call.
  while (abortRequested == 0 && refillInput() != 0) {
    lastError = step(direction, Z_NO_FLUSH);
    drainOutput();
    if (lastError != Z_OK) break;
    reportProgress(percentConsumed());
  }
  // Loop B: flush what zlib still holds. inflate() finishes in one call
  // (pending output never exceeds one buffer once the input is consumed);
  // deflate() may need several.
  while (abortRequested == 0) {
    lastError = step(direction, Z_FINISH);
    int written = drainOutput();
    if (direction == Direction::inflate) {
      if (written == 0 || lastError != Z_OK) break;
    } else if (lastError == Z_STREAM_END || written == 0) {
      break;
    }
  }
  reportProgress(percentConsumed());

  // The stdio buffer still holds the tail; a disk that fills up now must not
  // turn into a "Success".
  if (std::fflush(output) != 0) writeFailed = true;
  if (writeFailed) lastError = Z_ERRNO;
  if (abortRequested != 0) {
    reportStatus("User Abort");
  } else if (lastError == Z_OK || lastError == Z_STREAM_END) {
    reportStatus("Success");
    lastError = Z_OK;
  } else {
    reportStatus("Zlib Error");
  }
  return abortRequested != 0 ? kUserAbort : lastError;
}
