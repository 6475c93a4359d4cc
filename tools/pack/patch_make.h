#pragma once

// Makes the binary delta patches the updater applies (engine/patch_apply.h):
// VCDIFF made with xdelta3, with the header of engine/patch_header.h and an
// Adler-32 per window; optionally (never by default) sections compressed
// with xdelta3's own DJW Huffman coder, which only xdelta3 reads.

#include <cstdint>
#include <cstdio>
#include <string>

// Memory while making a patch: about 1.5 times the source window (the old
// file's cache and the hash table over it) plus 5 times the target window
// (the new file's window and the hash table over it), whatever the files'
// sizes: 142 MiB of resident memory with the defaults.
struct PatchOptions {
  // How much of the old file the encoder indexes at once, a power of two of
  // at least 1 MiB: it finds data that moved by less than about half of this.
  std::uint32_t sourceWindow = 64u << 20;
  // Bytes of the new file per VCDIFF window: at most 16 MiB, the most the
  // updater decodes; the updater holds one window at a time.
  std::uint32_t targetWindow = 8u << 20;
  // DJW Huffman coding of each window's sections: somewhat smaller patches,
  // but only xdelta3 reads them. The updater's own decoder (which carries no
  // GPL code) refuses them and downloads the whole file instead, so the
  // publisher writes plain sections, which every updater reads, old ones
  // (xdelta3) included.
  bool compressSections = false;
};

struct PatchMade {
  bool ok = false;
  std::uint64_t size = 0;        // bytes written to the patch
  std::string error;             // why it failed; empty on success
  std::uint64_t peakMemory = 0;  // most bytes the encoder held at once, the cache not counted
};

// Writes to `patch` (at its position) the patch that turns the whole of
// `oldFile` into the whole of `newFile`. Both are read from their start,
// through seeks, so they must be files, and `newFile` is read twice (once
// for its length and CRC-32, which the patch's header carries). The caller
// opens and closes the three files.
PatchMade makePatch(std::FILE* oldFile, std::FILE* newFile, std::FILE* patch,
                    const PatchOptions& options = PatchOptions());
