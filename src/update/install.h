#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "download/request.h"
#include "update/manifest.h"
#include "update/run_options.h"

// Brings the local file of `entry` up to date: downloads the packed file,
// inflates it into "temp" and moves that over the local file, which keeps
// its old content unless the transfer succeeded and the inflation gave
// exactly the listed size and CRC-32 (and, in a signed run, the download had
// the listed SHA-256). Skips a file that would not fit on the disk. Logs
// why, and size mismatches against the manifest's texts.
//
// `fetch`, where given, stands in for the transfer (a file fetched ahead):
// it gets the request the installation would make and returns its result.
using Fetcher = std::function<FetchResult(const FetchRequest& request)>;
void installFile(const ManifestEntry& entry, const RunContext& run, const Fetcher& fetch = {});

// Whether the download and inflation of `entry` fit beside everything else
// on the disk, with room to spare for the log and the system.
bool fitsOnDisk(const ManifestEntry& entry);

// The request that fetches the packed file of `entry`.
FetchRequest fileRequest(const ManifestEntry& entry, const RunContext& run);

// The check after an installation: logs "Invalid Post-Decompression Size"
// unless the file's size, as text, is the listed one.
void checkInstalledSize(const ManifestEntry& entry);

// The length of the regular file `path` in decimal, as a signed 32-bit
// number; "-1" if it is no regular file or does not open.
std::string measuredSize(const std::string& path);

// fetch(), with a fault of the updater itself in it (no thread for the
// transfer, an exception) logged as the run logs its own faults.
FetchResult fetchLogged(const RunContext& run, const FetchRequest& request);

// The log line for the transfer of `name` that ended as `result`
// ("Download Failed (HTTP status 404):  Error updating NAME"), or "" when it
// did not fail or the player stopped it.
std::string transferFailure(const FetchResult& result, const std::string& name);

// "WHAT:  Error updating NAME", the shape of every entry about one file.
std::string errorUpdating(const std::string& what, const std::string& name);

// Free space a run leaves on the disk beyond the files it writes.
inline constexpr std::int64_t kDiskSpaceMargin = std::int64_t{16} << 20;
