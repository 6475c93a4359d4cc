#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Brings the local file gCurrentFile up to date from its manifest `fields`:
// downloads the packed file, inflates it into "temp" and moves that over the
// local file, which keeps its old content unless the transfer succeeded and
// the inflation gave exactly the listed size and CRC-32. Skips a file that
// would not fit on the disk. Logs why, and size mismatches against the
// manifest's texts.
void installFile(const std::vector<std::string>& fields);

// The check after an installation: logs "Invalid Post-Decompression Size"
// unless gCurrentFile's size, as text, is the listed one.
void checkInstalledSize(const std::vector<std::string>& fields);

// The length of the regular file `path` in decimal, as a signed 32-bit
// number; "-1" if it is no regular file or does not open.
std::string measuredSize(const std::string& path);

// The log line for the transfer of `name` that just failed
// ("Download Failed (HTTP status 404):  Error updating NAME"), or "" when
// it did not fail or the player stopped it.
std::string transferFailure(const std::string& name);

// Most bytes stored for a file listed with `listedSize`: the listed size plus
// kSizeSlack, so a server (or a zlib stream) cannot fill the disk.
std::int64_t sizeBound(std::int32_t listedSize);
inline constexpr std::int64_t kSizeSlack = 1 << 20;
// Most bytes stored for update.dat.
inline constexpr std::int64_t kManifestBound = std::int64_t{64} << 20;
// How often a headless run tries a cut transfer again (download/resume.h).
inline constexpr int kCutTransferRetries = 3;
// Free space a run leaves on the disk beyond the files it writes.
inline constexpr std::int64_t kDiskSpaceMargin = std::int64_t{16} << 20;
