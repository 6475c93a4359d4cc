#include "update/install.h"

#include <zlib.h>

#include <locale>
#include <sstream>
#include <vector>

#include "base/file_ptr.h"
#include "base/names.h"
#include "download/fetch.h"
#include "download/progress.h"
#include "download/resume.h"
#include "hash/hex.h"
#include "log/dated_log.h"
#include "log/printable.h"
#include "platform/dialog.h"
#include "platform/game_folder.h"
#include "platform/platform.h"
#include "shared/globals.h"
#include "update/put_in_place.h"

namespace {

// Large stdio buffers: the engine hands over 4 KiB at a time.
constexpr std::size_t kStdioBufferSize = 64 * 1024;

// Inflates the downloaded stream into kScratchFile and moves it over the
// entry's file if, and only if, it is exactly the file the line describes:
// its size and CRC-32 are taken as it is written. Any failure leaves the
// file as it was and adds the reason to `messages`.
void inflateOver(const ManifestEntry& entry, const std::string& download,
                 std::vector<std::string>& messages, const RunOptions& options) {
  FilePtr in(openRegularFile(download));
  FilePtr out(removeFile(kScratchFile) ? createNewFile(kScratchFile) : nullptr);
  if (!in || !out) {
    messages.push_back(errorUpdating("Invalid Scratch File", entry.name));
    return;
  }
  std::setvbuf(in.get(), nullptr, _IOFBF, kStdioBufferSize);
  std::setvbuf(out.get(), nullptr, _IOFBF, kStdioBufferSize);
  gEngine.outputLimit = static_cast<std::uint64_t>(sizeBound(entry.unpackedSize));
  int result = gEngine.decompress(in.get(), out.get());
  gEngine.outputLimit = 0;
  // The close flushes; a full disk may only show there.
  if (std::fclose(out.release()) != 0 && result == Z_OK) result = Z_ERRNO;
  if (result != Z_OK) {
    messages.push_back(errorUpdating("Invalid Compressed Data", entry.name));
    return;
  }
  bool exact = static_cast<std::int64_t>(gEngine.total_out) == entry.unpackedSize &&
               gEngine.outputCrc == entry.checksum;
  if (!exact) {
    messages.push_back(errorUpdating("Invalid Checksum", entry.name));
    return;
  }
  Status placed = putInPlace(kScratchFile, entry.name, options);
  if (!placed.ok()) messages.push_back(placed.error);
}

}  // namespace

bool fitsOnDisk(const ManifestEntry& entry) {
  std::int64_t free = freeDiskSpace();
  if (free < 0) return true;
  std::int64_t needed = std::int64_t{entry.packedSize > 0 ? entry.packedSize : 0} +
                        std::int64_t{entry.unpackedSize > 0 ? entry.unpackedSize : 0} +
                        kDiskSpaceMargin;
  return needed <= free;
}

std::string errorUpdating(const std::string& what, const std::string& name) {
  return what + ":  Error updating " + printableText(name);
}

std::string measuredSize(const std::string& path) {
  std::ostringstream measured;
  measured.imbue(std::locale::classic());
  FilePtr file(openRegularFile(path));
  std::int64_t length = file ? fileLength(file.get()) : -1;
  // Sizes are signed 32-bit numbers; a longer file wraps as the 32-bit
  // runtime's length would, and so never matches a listed size.
  measured << (length < 0 ? -1 : static_cast<std::int32_t>(static_cast<std::uint32_t>(length)));
  return measured.str();
}

FetchResult fetchLogged(const RunContext& run, const FetchRequest& request) {
  FetchResult result = fetch(run.downloads, request);
  switch (result.fault) {
    case FetchFault::noThread:
      writeLog(errorUpdating("Unable to start download", request.shownName));
      break;
    case FetchFault::unexpected:
      writeLog("Error updating");
      break;
    case FetchFault::none:
      break;
  }
  return result;
}

std::string transferFailure(const FetchResult& result, const std::string& name) {
  if (result.error.empty()) return std::string();
  return errorUpdating("Download Failed (" + printableForLog(result.error) + ")", name);
}

FetchRequest fileRequest(const ManifestEntry& entry, const RunContext& run) {
  FetchRequest request;
  request.urlPath = urlPathOf(entry.name);
  request.shownName = entry.name;
  request.target = kDownloadScratchFile;
  request.limit = sizeBound(entry.packedSize);
  request.hash = entry.isSigned();
  request.part = PartIdentity{entry.name, entry.packedSizeText, entry.sha256};
  request.listedSize = entry.packedSize;
  request.retryCuts = run.options.headless;
  return request;
}

void installFile(const ManifestEntry& entry, const RunContext& run, const Fetcher& fetch) {
  setStatusText("Updating " + entry.name + " - 0%");
  // Written only once the scratch files are gone: on a full disk they hold
  // the space the log needs.
  std::vector<std::string> messages;
  if (!fitsOnDisk(entry)) {
    messages.push_back(errorUpdating("Not Enough Disk Space", entry.name));
  } else {
    FetchRequest request = fileRequest(entry, run);
    FetchResult fetched = fetch ? fetch(request) : fetchLogged(run, request);
    const bool complete = fetched.outcome == DownloadOutcome::complete;
    if (fetched.outcome == DownloadOutcome::failed && !fetched.error.empty()) {
      messages.push_back(transferFailure(fetched, entry.name));
    }
    std::ostringstream expected;
    expected << entry.packedSizeText;
    // A cut transfer's part stays for the next run, but is no download yet.
    std::string measured = complete ? measuredSize(fetched.file) : "-1";
    if (expected.str() != measured) {
      messages.push_back(errorUpdating("Invalid Pre-Decompression Size", entry.name));
    }
    if (complete && entry.isSigned() && toHex(fetched.sha256) != entry.sha256) {
      // Not the file the studio signed, whatever its size and CRC say.
      messages.push_back(errorUpdating("Invalid File Hash", entry.name));
    } else if (complete) {
      inflateOver(entry, fetched.file, messages, run.options);
    }
    // A whole download has been used, or found wanting: either way it is
    // never continued.
    if (complete) discardPartOf(request.part);
  }
  removeFile(kDownloadScratchFile);
  removeFile(kScratchFile);
  for (const std::string& message : messages) writeLog(message);
  checkInstalledSize(entry);
}

void checkInstalledSize(const ManifestEntry& entry) {
  std::ostringstream expected;
  expected << entry.unpackedSizeText;
  if (expected.str() != measuredSize(entry.name)) {
    writeLog(errorUpdating("Invalid Post-Decompression Size", entry.name));
  }
}
