#include "patch_make.h"

#include <limits>
#include <vector>

#include "engine/patch_header.h"
#include "hash/crc32.h"
#include "vcdiff_stream.h"
#include "platform/platform.h"

namespace {

// The old file is read in blocks of this size through a cache that holds the
// whole source window: the encoder checks the candidates its hash table
// offers at any address in the window, so anything smaller reads the same
// blocks again and again (a cache of a quarter of the window made encoding
// ten times slower).
constexpr std::uint32_t kOldBlockSize = 1u << 20;
// The most the updater decodes in one window (xdelta3's XD3_HARDMAXWINSIZE).
constexpr std::uint32_t kMaxTargetWindow = 16u << 20;

PatchMade failed(PatchMade made, std::string why) {
  made.ok = false;
  made.error = std::move(why);
  return made;
}

bool isPowerOfTwo(std::uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

// Length and CRC-32 of the whole file, read once through `buffer`.
bool measure(std::FILE* file, std::vector<unsigned char>& buffer, PatchHeader* header) {
  if (!seek(file, 0)) return false;
  std::size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    header->targetCrc = crc32Update(header->targetCrc, buffer.data(), got);
    header->targetLength += got;
  }
  return !std::ferror(file) && seek(file, 0);
}

}  // namespace

PatchMade makePatch(std::FILE* oldFile, std::FILE* newFile, std::FILE* patch,
                    const PatchOptions& options) {
  PatchMade made;
  if (!oldFile || !newFile || !patch) return failed(made, "a file is missing");
  if (!isPowerOfTwo(options.sourceWindow) || options.sourceWindow < kOldBlockSize ||
      options.targetWindow == 0 || options.targetWindow > kMaxTargetWindow) {
    return failed(made, "unusable window sizes");
  }
  const std::int64_t oldLength = fileLength(oldFile);
  if (oldLength < 0) return failed(made, "cannot measure the old file");

  std::vector<unsigned char> input(options.targetWindow);
  PatchHeader header;
  header.baseLength = static_cast<std::uint64_t>(oldLength);
  if (!measure(newFile, input, &header)) return failed(made, "cannot read the new file");
  // Kept until the stream is done: xdelta3 holds on to the pointer.
  const std::string appHeader = encodePatchHeader(header);

  xd3_config config;
  int flags = XD3_ADLER32;
  if (options.compressSections) flags |= XD3_SEC_DJW;
  xd3_init_config(&config, flags);
  config.winsize = options.targetWindow;
  // A bounded buffer of instructions: unlimited, it grows with the file.
  config.iopt_size = XD3_DEFAULT_IOPT_SIZE;
  config.smatch_cfg = XD3_SMATCH_FAST;
  VcdiffStream stream(config, std::numeric_limits<std::uint64_t>::max());
  if (!stream.configured()) return failed(made, "cannot set up the encoder");
  xd3_stream* s = stream.get();
  xd3_set_appheader(s, reinterpret_cast<const uint8_t*>(appHeader.data()),
                    static_cast<usize_t>(appHeader.size()));
  BaseBlocks old(oldFile, oldLength, kOldBlockSize,
                 static_cast<int>(options.sourceWindow / kOldBlockSize), nullptr);
  if (oldLength > 0 && old.attach(s, options.sourceWindow) != 0) {
    return failed(made, "cannot use the old file");
  }

  std::uint64_t remaining = header.targetLength;
  bool flushed = false;
  while (!flushed) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(remaining, options.targetWindow));
    if (want > 0 && std::fread(input.data(), 1, want, newFile) != want) {
      return failed(made, "cannot read the new file (did it change?)");
    }
    remaining -= want;
    if (remaining == 0) {
      // The last piece (an empty file still makes one empty window).
      xd3_set_flags(s, s->flags | XD3_FLUSH);
      flushed = true;
    }
    xd3_avail_input(s, input.data(), static_cast<usize_t>(want));
    for (;;) {
      const int result = xd3_encode_input(s);
      if (result == XD3_INPUT) break;
      if (result == XD3_OUTPUT) {
        if (std::fwrite(s->next_out, 1, s->avail_out, patch) != s->avail_out) {
          return failed(made, "cannot write the patch");
        }
        made.size += s->avail_out;
        xd3_consume_output(s);
      } else if (result != XD3_GOTHEADER && result != XD3_WINSTART && result != XD3_WINFINISH) {
        if (!old.error().empty()) return failed(made, old.error());
        return failed(made, "encoding failed: " + stream.error(result));
      }
    }
  }
  if (int result = xd3_close_stream(s))
    return failed(made, "encoding failed: " + stream.error(result));
  if (std::fflush(patch) != 0) return failed(made, "cannot write the patch");
  made.peakMemory = stream.peakMemory();
  made.ok = true;
  return made;
}
