#pragma once

// The updater's reader of VCDIFF (RFC 3284), for exactly what brightwick-pack
// writes (docs/formats.md, "VCDIFF as the publisher writes it"): the default
// code table, windows that copy from a segment of the base or from
// themselves, xdelta3's application header and its Adler-32 per window, and
// no secondary compression. Anything else is refused with the reason, and
// the updater falls back to the whole file.
//
// The patch is read one window at a time: its header first, so that the
// caller can weigh what the window would need before anything is allocated,
// then its sections, decoded straight into the target window's buffer.

#include <cstdint>
#include <cstdio>
#include <string>

class BaseReader;
class PatchStream;

// The largest target window the updater decodes (the publisher's largest,
// patch_make.h): one such window and its sections are all it holds of a patch.
inline constexpr std::uint64_t kVcdiffMaxWindow = 16u << 20;

// A window's header, as read: the lengths are the patch's claims, checked
// only against each other.
struct VcdiffWindow {
  bool hasSource = false;          // VCD_SOURCE: copies may come from the base
  std::uint64_t sourceLength = 0;  // the base's segment, 0 without one
  std::uint64_t sourcePosition = 0;
  std::uint64_t targetLength = 0;
  bool hasChecksum = false;  // xdelta3's Adler-32 of the target window
  std::uint32_t adler32 = 0;
  std::uint64_t dataLength = 0;          // ADD and RUN bytes
  std::uint64_t instructionsLength = 0;  // instructions and sizes
  std::uint64_t addressesLength = 0;     // COPY addresses

  // All three sections, which follow the header in the patch in this order.
  std::uint64_t sectionsLength() const { return dataLength + instructionsLength + addressesLength; }
};

// Reads the patch's VCDIFF header and its application header, which may be
// at most `appHeaderLimit` bytes (a longer one is refused unread). Returns
// an empty string, or why the patch is refused.
std::string readVcdiffHeader(PatchStream& patch, std::size_t appHeaderLimit,
                             std::string* appHeader);

enum class WindowStart { window, end, failed };

// Reads the next window's header, up to its sections: `end` when the patch
// ends before it; `failed`, with `why`, on a header that is cut short,
// inconsistent or uses what the updater does not read.
WindowStart readWindowHeader(PatchStream& patch, VcdiffWindow* window, std::string* why);

// Decodes a window whose sections are at `sections` into `target`, which has
// room for its targetLength bytes, copying from the base through `base`.
// Every size, address and section is checked before it is used. Returns an
// empty string, or why it failed (the base reader's error when a block of
// the base could not be had).
std::string decodeWindow(const VcdiffWindow& window, const unsigned char* sections,
                         BaseReader& base, unsigned char* target);
