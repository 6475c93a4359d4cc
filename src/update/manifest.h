#pragma once

// The manifest "update.dat": one entry a line, "name,packedSize,unpackedSize,
// checksum", 8-bit text. These rules are the same on every platform, whatever
// the C runtime's text mode would do.

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "log/printable.h"

// Fields a usable line has; more are allowed and ignored.
inline constexpr std::size_t kManifestFields = 4;
// Longest name the updater accepts: longer ones cannot be a game file on the
// target systems and are refused before they reach the network or the disk.
inline constexpr std::size_t kMaxNameLength = 1024;

// Reads the next line into `line`: up to LF, without the LF and without one
// CR before it. A byte 0x1A ends the file: the text before it is the last
// line. Returns false once nothing is left.
bool readManifestLine(std::istream& in, std::string& line);

// The fields of `line`, cut at every "," with no quoting, escapes or
// trimming; at most kManifestFields are kept.
std::vector<std::string> splitManifestLine(const std::string& line);

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
LineKind parseManifestLine(const std::string& line, std::vector<std::string>& fields);

// `name` as it goes into the download URL: bytes that would end the path
// ("#", "?"), are not allowed in a URL (blanks, quotes, bytes >= 0x80) or
// would be decoded by the server ("%") are percent-encoded; everything else,
// the separators included, is kept as it is.
std::string urlPathOf(const std::string& name);
