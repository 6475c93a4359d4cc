#pragma once

// The manifest "update.dat": one entry a line, "name,packedSize,unpackedSize,
// checksum", 8-bit text. These rules are the same on every platform, whatever
// the C runtime's text mode would do, and the same for the updater, which
// reads manifests, and the publisher, which writes them.

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

// update.dat as it is read: any stream of its bytes.
using UpdateManifest = std::istream;

// The list of fields of one line, cut at every ",".
using ManifestFields = std::vector<std::string>;

// Fields a usable line has; more are allowed and ignored.
inline constexpr std::size_t kManifestFields = 4;
// Longest name the updater accepts: longer ones cannot be a game file on the
// target systems and are refused before they reach the network or the disk.
inline constexpr std::size_t kMaxNameLength = 1024;

// Reads the next line into `line`: up to LF, without the LF and without one
// CR before it. A byte 0x1A ends the file: the text before it is the last
// line. Returns false once nothing is left.
bool readManifestLine(UpdateManifest& in, std::string& line);

// The fields of `line`, cut at every "," with no quoting, escapes or
// trimming; at most kManifestFields are kept.
ManifestFields splitManifestLine(const std::string& line);

// `text` read as strtol base 10 reads it on a 32-bit long: leading white
// space and one sign, digits up to the first other character, 0 without
// digits, clamped to -2147483648..2147483647.
std::int32_t readLong32(const std::string& text);

// Whether `name` stays inside the game folder and is not one of the
// updater's own files: relative, no ".." component (with either slash), no
// drive or stream colon, no control bytes, no device names, not too long.
bool isSafeName(const std::string& name);

enum class LineKind {
  empty,       // skipped silently
  malformed,   // fewer than four fields, or no name
  unsafeName,  // a name isSafeName refuses
  entry,       // `fields` holds name, packedSize, unpackedSize, checksum
};

// The fifth field of `line` (the text after its fourth ",", up to the next),
// or "" if it has none. Signed manifests carry each packed file's SHA-256
// there, which the first four fields leave untouched for older updaters.
std::string hashFieldOf(const std::string& line);

// Whether `field` is a SHA-256 as a signed manifest writes it: 64 lowercase
// hex digits.
bool isHashField(const std::string& field);

// Classifies one manifest line and splits it into `fields`.
LineKind parseManifestLine(const std::string& line, ManifestFields& fields);

// One entry of the manifest, its numbers read once, as installation,
// patching and resuming take it.
struct ManifestEntry {
  std::string name;
  // As the line writes them: the size checks compare these texts with the
  // measured sizes, so "0100" never matches 100.
  std::string packedSizeText;
  std::string unpackedSizeText;
  // As readLong32 reads them.
  std::int32_t packedSize = 0;
  std::int32_t unpackedSize = 0;
  std::uint32_t checksum = 0;  // the 32-bit pattern of the signed decimal
  // In a signed manifest, the packed file's SHA-256 (64 hex digits) that each
  // download must match; empty otherwise.
  std::string sha256;
  bool isSigned() const { return !sha256.empty(); }
};

// The entry of an `entry` line's fields, with `sha256` from its fifth field
// where the run is signed.
ManifestEntry entryOf(const ManifestFields& fields, const std::string& sha256);

// Most bytes stored for a file listed with `listedSize` (downloaded or
// inflated): the listed size plus kSizeSlack, so that a server (or a zlib
// stream) cannot fill the disk.
std::int64_t sizeBound(std::int32_t listedSize);
inline constexpr std::int64_t kSizeSlack = 1 << 20;
// Most bytes of update.dat an updater reads, and a publisher writes.
inline constexpr std::int64_t kManifestBound = std::int64_t{64} << 20;

// `name` as it goes into the download URL: bytes that would end the path
// ("#", "?"), are not allowed in a URL (blanks, quotes, bytes >= 0x80) or
// would be decoded by the server ("%") are percent-encoded; everything else,
// the separators included, is kept as it is.
std::string urlPathOf(const std::string& name);
