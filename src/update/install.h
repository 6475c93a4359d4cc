#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Brings the local file gCurrentFile up to date from its manifest `fields`:
// downloads the packed file, inflates it into "temp" and moves that over the
// local file, which keeps its old content unless both the transfer and the
// inflation succeeded. Logs size mismatches against the manifest's texts.
void installFile(const std::vector<std::string>& fields);

// The length of file `path` in decimal, as a signed 32-bit number; "-1" if
// it does not open.
std::string measuredSize(const std::string& path);

// Most bytes stored for a file listed with `listedSize`: the listed size plus
// kSizeSlack, so a server (or a zlib stream) cannot fill the disk.
std::int64_t sizeBound(std::int32_t listedSize);
inline constexpr std::int64_t kSizeSlack = 1 << 20;
// Most bytes stored for update.dat.
inline constexpr std::int64_t kManifestBound = std::int64_t{64} << 20;
