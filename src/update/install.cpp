#include "update/install.h"

#include <zlib.h>

#include <locale>
#include <memory>
#include <sstream>

#include "download/download_worker.h"
#include "download/resume.h"
#include "log/dated_log.h"
#include "platform/game_folder.h"
#include "shared/globals.h"
#include "update/manifest.h"
#include "update/sha256.h"
#include "update/update_run.h"

namespace {

// Large stdio buffers: the engine hands over 4 KiB at a time.
constexpr std::size_t kStdioBufferSize = 64 * 1024;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string errorUpdating(const std::string& what, const std::string& name) {
  return what + ":  Error updating " + printableText(name);
}

// Inflates the downloaded stream into kScratchFile and moves it over `name`
// if, and only if, it is exactly the file the line describes: its size and
// CRC-32 are taken as it is written. Any failure leaves `name` as it was and
// adds the reason to `messages`.
void inflateOver(const std::string& name, const std::vector<std::string>& fields,
                 std::vector<std::string>& messages) {
  FilePtr in(openRegularFile(kPartialFile));
  FilePtr out(removeFile(kScratchFile) ? createNewFile(kScratchFile) : nullptr);
  if (!in || !out) {
    messages.push_back(errorUpdating("Invalid Scratch File", name));
    return;
  }
  std::setvbuf(in.get(), nullptr, _IOFBF, kStdioBufferSize);
  std::setvbuf(out.get(), nullptr, _IOFBF, kStdioBufferSize);
  std::int32_t listedSize = readLong32(fields[2]);
  gEngine.outputLimit = static_cast<std::uint64_t>(sizeBound(listedSize));
  int result = gEngine.decompress(in.get(), out.get());
  gEngine.outputLimit = 0;
  // The close flushes; a full disk may only show there.
  if (std::fclose(out.release()) != 0 && result == Z_OK) result = Z_ERRNO;
  if (result != Z_OK) {
    messages.push_back(errorUpdating("Invalid Compressed Data", name));
    return;
  }
  bool exact = static_cast<std::int64_t>(gEngine.total_out) == listedSize &&
               gEngine.outputCrc == static_cast<std::uint32_t>(readLong32(fields[3]));
  if (!exact) {
    messages.push_back(errorUpdating("Invalid Checksum", name));
    return;
  }
  if (!replaceGameFile(kScratchFile, name)) {
    messageBox(cannotWriteMessage(name), "Updating Error");
  }
}

// Whether a listed file's download and inflation fit beside everything else
// on the disk, with room to spare for the log and the system.
bool fitsOnDisk(std::int32_t packedSize, std::int32_t unpackedSize) {
  std::int64_t free = freeDiskSpace();
  if (free < 0) return true;
  std::int64_t needed = std::int64_t{packedSize > 0 ? packedSize : 0} +
                        std::int64_t{unpackedSize > 0 ? unpackedSize : 0} + kDiskSpaceMargin;
  return needed <= free;
}

// How long a headless run waits before trying a cut transfer again: growing,
// and cut short when the player stops the run.
void pauseBeforeRetry(int retry) {
  for (long waited = 0; waited < (1000L << retry) && !gStopRequested; ++waited) {
    sleepOneMillisecond();
  }
}

// The bytes kept for `identity` that a transfer can continue: a part whose
// server gave no validator would only be fetched again from the start.
std::int64_t keptBytesOf(const PartIdentity& identity) {
  KeptPart kept;
  bool usable = findKeptPart(&kept) && kept.identity == identity && !kept.validator.empty();
  return usable ? kept.bytes : 0;
}

// Fetches the file of `identity`, continuing a kept part. A headless run
// tries a cut transfer again, a few times with growing pauses, while each
// try brings a fair amount more that the next can continue.
DownloadOutcome fetchPart(const PartIdentity& identity) {
  gDownloadPart = identity;
  DownloadOutcome outcome;
  for (int retry = 0;; ++retry) {
    std::int64_t before = keptBytesOf(identity);
    outcome = fetch();
    if (outcome != DownloadOutcome::failed || !gDownloadCut || !gHeadless || gStopRequested ||
        retry >= kCutTransferRetries ||
        keptBytesOf(identity) - before < kRetryMinimumProgress) {
      break;
    }
    pauseBeforeRetry(retry);
  }
  gDownloadPart = PartIdentity();
  return outcome;
}

}  // namespace

std::int64_t sizeBound(std::int32_t listedSize) {
  return (listedSize > 0 ? listedSize : 0) + kSizeSlack;
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

std::string transferFailure(const std::string& name) {
  if (gDownloadError.empty()) return std::string();
  return errorUpdating("Download Failed (" + printableForLog(gDownloadError) + ")", name);
}

void installFile(const std::vector<std::string>& fields) {
  // gCurrentFile is the download worker's while it runs; the name is kept
  // apart for the steps around it.
  const std::string name = gCurrentFile;
  gDownloadDone = false;
  setStatusText("Updating " + name + " - 0%");
  // Written only once the scratch files are gone: on a full disk they hold
  // the space the log needs.
  std::vector<std::string> messages;
  if (!fitsOnDisk(readLong32(fields[1]), readLong32(fields[2]))) {
    messages.push_back(errorUpdating("Not Enough Disk Space", name));
  } else {
    gDownloadLimit = sizeBound(readLong32(fields[1]));
    // A signed run has the line's SHA-256 of the packed file as fields[4].
    bool isSigned = fields.size() > kManifestFields;
    gDownloadHashing = isSigned;
    DownloadOutcome outcome =
        fetchPart(PartIdentity{name, fields[1], isSigned ? fields[kManifestFields] : ""});
    gDownloadHashing = false;
    if (outcome == DownloadOutcome::failed && !gDownloadError.empty()) {
      messages.push_back(transferFailure(name));
    }
    std::ostringstream expected;
    expected << fields[1];
    // A cut transfer's part stays for the next run, but is no download yet.
    std::string measured = outcome == DownloadOutcome::complete ? measuredSize(kPartialFile) : "-1";
    if (expected.str() != measured) {
      messages.push_back(errorUpdating("Invalid Pre-Decompression Size", name));
    }
    if (outcome == DownloadOutcome::complete && isSigned &&
        toHex(gDownloadSha256) != fields[kManifestFields]) {
      // Not the file the studio signed, whatever its size and CRC say.
      messages.push_back(errorUpdating("Invalid File Hash", name));
    } else if (outcome == DownloadOutcome::complete) {
      inflateOver(name, fields, messages);
    }
    // A whole download has been used, or found wanting: either way it is
    // never continued.
    if (outcome == DownloadOutcome::complete) discardPart();
  }
  removeFile(kDownloadScratchFile);
  removeFile(kScratchFile);
  for (const std::string& message : messages) writeLog(message);
  checkInstalledSize(fields);
}

void checkInstalledSize(const std::vector<std::string>& fields) {
  std::ostringstream expected;
  expected << fields[2];
  if (expected.str() != measuredSize(fields[0])) {
    writeLog(errorUpdating("Invalid Post-Decompression Size", fields[0]));
  }
}
