#include "update/update_run.h"

#include <zlib.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <vector>

#include "download/download_worker.h"
#include "log/dated_log.h"
#include "shared/base_url.h"
#include "update/checksum.h"
#include "update/install.h"
#include "update/manifest.h"

namespace {

// How long the update worker keeps looking for the end of a transfer before
// it sleeps between looks.
constexpr std::chrono::microseconds kSpinBeforeSleeping(1000);

// Large enough that reading stays at disk or page-cache speed, small enough
// that a 32-bit process checks a file of any size.
constexpr std::size_t kCrcChunk = 256 * 1024;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

void fetchManifest() {
  std::remove(kManifestName);
  gCurrentFile = kManifestName;
  gDownloadLimit = kManifestBound;
  switch (fetch()) {
    case DownloadOutcome::complete:
      replaceFile(kDownloadScratchFile, kManifestName);
      break;
    case DownloadOutcome::failed: {
      // A failed transfer reads as an empty manifest, as an error answer
      // always has; a partial one is never trusted.
      FilePtr empty(openShared(kManifestName, "wb"));
      break;
    }
    case DownloadOutcome::notWritten:
      break;
  }
  std::remove(kDownloadScratchFile);
}

void processManifest(std::istream& manifest) {
  std::vector<std::string> fields;
  while (!gStopRequested && readManifestLine(manifest, gCurrentFile)) {
    switch (parseManifestLine(gCurrentFile, fields)) {
      case LineKind::empty:
        continue;
      case LineKind::malformed:
        writeLog("Invalid Manifest Line:  Error updating " + printableForLog(gCurrentFile));
        continue;
      case LineKind::unsafeName:
        writeLog("Invalid File Name:  Error updating " + printableForLog(fields[0]));
        continue;
      case LineKind::entry:
        break;
    }
    gCurrentFile = fields[0];
    if (needsUpdate(gCurrentFile, fields)) installFile(fields);
  }
}

}  // namespace

DownloadOutcome fetch() {
  gDownloadUrl = std::string(kUpdateBaseUrl) + urlPathOf(gCurrentFile);
  gDownloadOutcome = DownloadOutcome::notWritten;
  gDownloadDone = false;
  if (!startThread(downloadWorker)) {
    writeLog("Unable to start download:  Error updating " + gCurrentFile);
    return DownloadOutcome::notWritten;
  }
  // A small file is often done in less than a millisecond: looking again at
  // once for a short while saves it waiting out a whole sleep for nothing.
  // Longer transfers are waited for in 1 ms sleeps, which cost no processor.
  const auto spinUntil = std::chrono::steady_clock::now() + kSpinBeforeSleeping;
  while (!gDownloadDone && std::chrono::steady_clock::now() < spinUntil) yieldProcessor();
  while (!gDownloadDone) sleepOneMillisecond();
  return gDownloadOutcome;
}

bool crcOfFile(std::FILE* file, std::uint32_t* crc) {
  // Small files, the common case, need no large buffer.
  std::int64_t length = fileLength(file);
  std::size_t size = length >= 0 && length < static_cast<std::int64_t>(kCrcChunk)
                         ? static_cast<std::size_t>(length) + 1
                         : kCrcChunk;
  // Not zero-filled: every byte used is read first.
  std::unique_ptr<unsigned char[]> chunk(new unsigned char[size]);
  std::uint32_t sum = 0;
  std::size_t got;
  while ((got = std::fread(chunk.get(), 1, size, file)) > 0)
    sum = crc32Update(sum, chunk.get(), got);
  *crc = sum;
  return !std::ferror(file);
}

bool needsUpdate(const std::string& name, const std::vector<std::string>& fields) {
  FilePtr file(openShared(name, "rb"));
  if (!file) return true;
  std::int64_t length = fileLength(file.get());
  // A length beyond 32 bits matches no listed size.
  if (length < 0 || length > INT32_MAX) return true;
  // The CRC cannot rescue a file of the wrong length, so it is not computed.
  if (static_cast<std::int32_t>(length) != readLong32(fields[2])) return true;
  std::uint32_t crc;
  if (!crcOfFile(file.get(), &crc)) return true;
  return crc != static_cast<std::uint32_t>(readLong32(fields[3]));
}

void runUpdate(void*) {
  try {
    // Leftovers of a run that was killed.
    std::remove(kScratchFile);
    std::remove(kDownloadScratchFile);
    fetchManifest();
    std::ifstream manifest(kManifestName, std::ios::binary);
    if (!manifest.is_open()) {
      writeLog("Unable to open update.dat");
    } else {
      processManifest(manifest);
    }
  } catch (...) {
    writeLog("Error updating");
  }
  endDialog(gDialog, 0);
  gUpdateFinished = true;
}
