#include "engine/patch_apply.h"

#include <zlib.h>

#include <algorithm>
#include <memory>

#include "engine/base_reader.h"
#include "engine/patch_header.h"
#include "engine/patch_stream.h"
#include "engine/vcdiff_decoder.h"
#include "hash/crc32.h"
#include "platform/platform.h"

namespace {

// The window's checksums are taken in pieces that stay in the processor's
// cache between the two.
constexpr std::size_t kSumPiece = 64u << 10;

bool isPowerOfTwo(std::uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

PatchOutcome failed(PatchOutcome outcome, std::string why) {
  outcome.ok = false;
  outcome.error = std::move(why);
  return outcome;
}

std::string number(std::uint64_t value) {
  return std::to_string(value);
}

// Memory reused from one window to the next, grown only when a window needs
// more. Left uninitialised: a window touches only what it fills, so a short
// one costs only its own pages.
class Scratch {
 public:
  unsigned char* take(std::uint64_t size) {
    if (size > capacity_ || !bytes_) {
      bytes_.reset();  // the old block goes first: never both at once
      capacity_ = size > 0 ? static_cast<std::size_t>(size) : 1;
      bytes_.reset(new unsigned char[capacity_]);
    }
    return bytes_.get();
  }

 private:
  std::unique_ptr<unsigned char[]> bytes_;
  std::size_t capacity_ = 0;
};

PatchOutcome applyFrom(std::FILE* base, PatchStream& patch, std::FILE* output,
                       std::uint64_t outputLimit, const std::atomic<bool>* stop,
                       const BaseCache& cache) {
  PatchOutcome outcome;
  if (!isPowerOfTwo(cache.blockSize) || cache.blockSize < 512 || cache.blockCount < 1) {
    return failed(outcome, "unusable base cache");
  }
  const std::int64_t baseLength = fileLength(base);
  if (baseLength < 0) return failed(outcome, "cannot measure the base file");

  std::string appHeader;
  std::string why = readVcdiffHeader(patch, kPatchHeaderSize, &appHeader);
  if (!why.empty()) return failed(outcome, why);
  PatchHeader header;
  if (!decodePatchHeader(reinterpret_cast<const unsigned char*>(appHeader.data()), appHeader.size(),
                         &header)) {
    return failed(outcome, "not a Brightwick patch (no header)");
  }
  if (header.baseLength != static_cast<std::uint64_t>(baseLength)) {
    return failed(outcome, "wrong base file: " + number(baseLength) + " bytes, the patch is for " +
                               number(header.baseLength));
  }
  if (header.targetLength > outputLimit) {
    return failed(outcome, "the result (" + number(header.targetLength) +
                               " bytes) would pass the limit of " + number(outputLimit));
  }

  BaseReader baseReader(base, static_cast<std::uint64_t>(baseLength), cache.blockSize,
                        cache.blockCount, stop);
  Scratch target, sections;
  bool anyWindow = false;
  for (;;) {
    if (stop && stop->load()) return failed(outcome, "stopped");
    VcdiffWindow window;
    const WindowStart start = readWindowHeader(patch, &window, &why);
    if (start == WindowStart::failed) return failed(outcome, why);
    if (start == WindowStart::end) break;
    anyWindow = true;
    // Each claim is weighed before anything is allocated or written: the
    // header's length, within the limit, bounds what is written.
    const std::uint64_t written = static_cast<std::uint64_t>(outcome.size);
    if (window.targetLength > header.targetLength - written) {
      return failed(outcome, "corrupt patch: more output than its header announces");
    }
    if (window.targetLength > kVcdiffMaxWindow ||
        window.sectionsLength() > kPatchDecoderMemory - window.targetLength) {
      return failed(outcome, "corrupt patch: it needs too much memory (a window of " +
                                 number(window.targetLength) + " bytes with " +
                                 number(window.sectionsLength()) + " bytes of sections)");
    }
    unsigned char* sectionBytes = sections.take(window.sectionsLength());
    const std::size_t sectionsLength = static_cast<std::size_t>(window.sectionsLength());
    if (patch.read(sectionBytes, sectionsLength) != sectionsLength) {
      return failed(outcome, patch.failed() ? patch.error() : "truncated patch");
    }
    unsigned char* targetBytes = target.take(window.targetLength);
    why = decodeWindow(window, sectionBytes, baseReader, targetBytes);
    outcome.baseReads = baseReader.reads();
    if (baseReader.stopped()) return failed(outcome, "stopped");
    if (!why.empty()) return failed(outcome, why);
    // Both sums in one pass, a piece at a time, while it is in the cache.
    const std::size_t length = static_cast<std::size_t>(window.targetLength);
    uLong adler = adler32(0, Z_NULL, 0);
    std::uint32_t crc = outcome.crc;
    for (std::size_t at = 0; at < length; at += kSumPiece) {
      const std::size_t piece = std::min(kSumPiece, length - at);
      if (window.hasChecksum) adler = adler32(adler, targetBytes + at, static_cast<uInt>(piece));
      crc = crc32Update(crc, targetBytes + at, piece);
    }
    if (window.hasChecksum && adler != window.adler32) {
      return failed(outcome, "corrupt patch or wrong base file: a window's Adler-32 differs");
    }
    if (length > 0 && std::fwrite(targetBytes, 1, length, output) != length) {
      return failed(outcome, "cannot write the result");
    }
    outcome.crc = crc;
    outcome.size += static_cast<std::int64_t>(length);
  }

  // The patch must end between two windows, after at least one: a VCDIFF
  // header alone, or nothing, is no patch (an empty result still has one
  // empty window).
  if (!anyWindow) return failed(outcome, "truncated patch");
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

PatchOutcome applyForm(PatchForm form, std::FILE* base, std::FILE* patch, std::FILE* output,
                       std::uint64_t outputLimit, const std::atomic<bool>* stop,
                       const BaseCache& cache) {
  if (!base || !patch || !output) return failed(PatchOutcome(), "a file is missing");
  PatchStream stream(patch, form);
  return applyFrom(base, stream, output, outputLimit, stop, cache);
}

}  // namespace

PatchOutcome applyPatch(std::FILE* base, std::FILE* patch, std::FILE* output,
                        std::uint64_t outputLimit, const std::atomic<bool>* stop,
                        const BaseCache& cache) {
  return applyForm(PatchForm::plain, base, patch, output, outputLimit, stop, cache);
}

PatchOutcome applyZlibPatch(std::FILE* base, std::FILE* patch, std::FILE* output,
                            std::uint64_t outputLimit, const std::atomic<bool>* stop,
                            const BaseCache& cache) {
  return applyForm(PatchForm::zlib, base, patch, output, outputLimit, stop, cache);
}
