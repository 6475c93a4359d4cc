#include "xdelta3_apply.h"

#include <memory>

#include "engine/patch_header.h"
#include "vcdiff_stream.h"
#include "platform/platform.h"
#include "hash/crc32.h"

namespace {

// The patch is read in pieces of this size; a window section that arrives
// whole in one piece is decoded where it lies, without a copy.
constexpr std::size_t kPatchReadSize = 256u << 10;

bool isPowerOfTwo(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

PatchOutcome failed(PatchOutcome outcome, std::string why) {
  outcome.ok = false;
  outcome.error = std::move(why);
  return outcome;
}

std::string number(std::uint64_t value) { return std::to_string(value); }

}  // namespace

PatchOutcome applyPatchWithXdelta3(std::FILE* base, std::FILE* patch, std::FILE* output,
                                   std::uint64_t outputLimit, const std::atomic<bool>* stop,
                                   const BaseCache& cache) {
  PatchOutcome outcome;
  if (!base || !patch || !output) return failed(outcome, "a file is missing");
  if (!isPowerOfTwo(cache.blockSize) || cache.blockSize < 512 || cache.blockCount < 1) {
    return failed(outcome, "unusable base cache");
  }
  const std::int64_t baseLength = fileLength(base);
  if (baseLength < 0) return failed(outcome, "cannot measure the base file");

  xd3_config config;
  xd3_init_config(&config, 0);  // 0: every window's Adler-32 is checked
  VcdiffStream stream(config, kPatchDecoderMemory);
  if (!stream.configured()) return failed(outcome, "cannot set up the decoder");
  xd3_stream* s = stream.get();
  BaseBlocks blocks(base, baseLength, cache.blockSize, cache.blockCount, stop);
  // Without a base a patch can only add bytes; one that copies from it fails.
  if (baseLength > 0 && blocks.attach(s) != 0) return failed(outcome, "cannot use the base file");

  // Left uninitialised: a short patch touches only what it fills.
  std::unique_ptr<unsigned char[]> input(new unsigned char[kPatchReadSize]);
  PatchHeader header;
  bool haveHeader = false;
  for (;;) {
    if (stop && stop->load()) return failed(outcome, "stopped");
    const int result = xd3_decode_input(s);
    outcome.baseReads = blocks.reads();
    if (result == XD3_INPUT) {
      const std::size_t got = std::fread(input.get(), 1, kPatchReadSize, patch);
      if (got == 0) {
        if (std::ferror(patch)) return failed(outcome, "cannot read the patch");
        break;
      }
      xd3_avail_input(s, input.get(), static_cast<usize_t>(got));
    } else if (result == XD3_GOTHEADER || result == XD3_WINSTART) {
      // A window's header has been read, its sections not yet: nothing of
      // it is decoded or written. The first one brings the patch's header.
      if (result == XD3_GOTHEADER) {
        uint8_t* data = nullptr;
        usize_t size = 0;
        if (xd3_get_appheader(s, &data, &size) != 0 || !decodePatchHeader(data, size, &header)) {
          return failed(outcome, "not a Brightwick patch (no header)");
        }
        if (header.baseLength != static_cast<std::uint64_t>(baseLength)) {
          return failed(outcome, "wrong base file: " + number(baseLength) +
                                     " bytes, the patch is for " + number(header.baseLength));
        }
        if (header.targetLength > outputLimit) {
          return failed(outcome, "the result (" + number(header.targetLength) +
                                     " bytes) would pass the limit of " + number(outputLimit));
        }
        haveHeader = true;
      }
      // Refused before its buffers are allocated and filled.
      if (s->dec_tgtlen > header.targetLength - static_cast<std::uint64_t>(outcome.size)) {
        return failed(outcome, "corrupt patch: more output than its header announces");
      }
    } else if (result == XD3_OUTPUT) {
      // A whole target window, its Adler-32 already checked. The header's
      // length, within the limit, bounds what is written.
      const std::uint64_t written = static_cast<std::uint64_t>(outcome.size);
      if (!haveHeader || s->avail_out > header.targetLength - written) {
        return failed(outcome, "corrupt patch: more output than its header announces");
      }
      if (s->avail_out > 0 && std::fwrite(s->next_out, 1, s->avail_out, output) != s->avail_out) {
        return failed(outcome, "cannot write the result");
      }
      outcome.crc = crc32Update(outcome.crc, s->next_out, s->avail_out);
      outcome.size += s->avail_out;
      xd3_consume_output(s);
    } else if (result != XD3_WINFINISH) {
      if (blocks.stopped()) return failed(outcome, "stopped");
      if (!blocks.error().empty()) return failed(outcome, blocks.error());
      if (result == ENOMEM) return failed(outcome, "corrupt patch: it needs too much memory");
      return failed(outcome, "corrupt patch or wrong base file: " + stream.error(result));
    }
  }

  // The patch must end between two windows, after at least one: a VCDIFF
  // header alone, or nothing, is no patch (an empty result still has one
  // empty window).
  if (!haveHeader || xd3_close_stream(s) != 0) return failed(outcome, "truncated patch");
  if (static_cast<std::uint64_t>(outcome.size) != header.targetLength) {
    return failed(outcome, "truncated patch: " + number(outcome.size) + " of " +
                               number(header.targetLength) + " bytes");
  }
  if (outcome.crc != header.targetCrc) {
    return failed(outcome, "corrupt patch or wrong base file: the result's CRC-32 differs");
  }
  if (std::fflush(output) != 0) return failed(outcome, "cannot write the result");
  outcome.ok = true;
  return outcome;
}
