#pragma once

// The bundle index the publisher serves beside update.dat in a signed
// folder ("update.bundles"): small packed files, also served one by one,
// concatenated into bundles below update.d/, so that an updater fetches many
// of them with a few requests (a whole bundle, or stretches of it by
// range). Only a signed updater reads it, and only when the signature file
// covers it; older updaters never look at it.
//
//   brightwick-bundles 1
//   bundle update.d/bundles/<64 hex digits>.bundle 1048576
//   member 0 4123 5a0c9e11 maps/a.txt
//   member 4123 3988 0badf00d maps/b.txt
//   bundle ...
//
// Each "member" line belongs to the "bundle" line before it: its offset and
// size in the bundle, the CRC-32 of its bytes (8 hex digits), and its
// manifest name (the rest of the line). A member's bytes are exactly the
// packed file the manifest lists under that name.

#include <cstdint>
#include <istream>
#include <map>
#include <string>

#include "base/status.h"

inline constexpr char kBundleIndexFormatLine[] = "brightwick-bundles 1";
// Most bytes of update.bundles an updater reads.
inline constexpr std::int64_t kMaxBundleIndexSize = std::int64_t{16} << 20;

struct BundleMember {
  std::string bundle;  // URL path below the updates folder
  std::int64_t bundleSize = 0;
  std::int64_t offset = 0;
  std::int32_t size = 0;
  std::uint32_t crc = 0;
};

// Manifest name -> where its packed file stands in a bundle.
using BundleIndex = std::map<std::string, BundleMember>;

// Reads a whole index. Members that do not fit inside their bundle, names
// the updater refuses and bundles outside update.d/bundles/ are left out;
// the status says what is wrong with the format otherwise.
Status readBundleIndex(std::istream& in, BundleIndex* index);

// The index's text, for the publisher: bundles in the order given, each
// with its members.
struct BundleText {
  std::string path;
  std::int64_t size = 0;
};
std::string formatBundleLine(const BundleText& bundle);
std::string formatMemberLine(const std::string& name, std::int64_t offset, std::int32_t size,
                             std::uint32_t crc);
