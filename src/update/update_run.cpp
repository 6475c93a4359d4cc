#include "update/update_run.h"

#include <zlib.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <vector>

#include "download/download_worker.h"
#include "download/resume.h"
#include "log/dated_log.h"
#include "platform/game_folder.h"
#include "shared/base_url.h"
#include "update/checksum.h"
#include "update/install.h"
#include "update/manifest.h"
#include "update/patch_install.h"
#include "update/signed_manifest.h"

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

// Fetches update.dat; true once it holds this run's manifest (or the empty
// one a failed transfer stands for).
bool fetchManifest() {
  removeFile(kManifestName);
  gCurrentFile = kManifestName;
  gDownloadLimit = kManifestBound;
  switch (fetch()) {
    case DownloadOutcome::complete:
      if (!replaceGameFile(kDownloadScratchFile, kManifestName)) {
        // An old manifest that cannot be replaced is not this run's: it is
        // never read.
        removeFile(kDownloadScratchFile);
        messageBox(cannotWriteMessage(kManifestName), "Updating Error");
        return false;
      }
      return true;
    case DownloadOutcome::failed: {
      std::string why = transferFailure(kManifestName);
      if (!why.empty()) {
        writeLog(why);
        setStatusText(why);
      }
      // A failed transfer reads as an empty manifest, as an error answer
      // always has; a partial one is never trusted.
      FilePtr empty(createNewFile(kManifestName));
      return empty != nullptr;
    }
    case DownloadOutcome::notWritten:
      break;
  }
  return false;
}

// Clears what a killed run left. A folder, or a special file, where a
// scratch file goes is reported; a folder is never removed, and with one in
// the way nothing can be installed, so the run ends.
bool clearScratchFiles() {
  bool usable = true;
  for (const char* scratch : {kScratchFile, kDownloadScratchFile, kPartialFile, kPartialRecord}) {
    PathKind kind = inspectPath(scratch);
    if (kind == PathKind::folder || kind == PathKind::special) {
      writeLog(std::string("Invalid Scratch File:  Error updating ") + scratch);
    }
    // A kept part and its record stay for the transfer they belong to.
    bool kept = scratch == kPartialFile || scratch == kPartialRecord;
    if (kind == PathKind::folder) {
      usable = false;
    } else if (!kept || kind == PathKind::special) {
      removeFile(scratch);
    }
  }
  return usable;
}

// Brings the stale entry of `fields` (gCurrentFile) up to date: by a patch
// from the local version where the index has one, else, or if it fails, by
// the full file.
void bringUpToDate(const std::vector<std::string>& fields, const PatchIndex& patches) {
  // Only a local file of a base's size can be patched; the others are
  // checked (and read) no more than without patches.
  bool patchable = false;
  auto [first, last] = patches.equal_range(gCurrentFile);
  if (first != last) {
    FilePtr file(openRegularFile(gCurrentFile));
    std::int64_t size = file ? fileLength(file.get()) : -1;
    for (auto it = first; it != last; ++it) patchable = patchable || it->second.baseSize == size;
  }
  if (!patchable) {
    if (needsUpdate(gCurrentFile, fields)) installFile(fields);
    return;
  }
  // One read serves the check and the choice of a patch.
  LocalFile local = readLocalFile(gCurrentFile);
  if (local.exists && local.size == readLong32(fields[2]) &&
      local.crc == static_cast<std::uint32_t>(readLong32(fields[3]))) {
    return;
  }
  if (const PatchEntry* patch = patchFor(patches, gCurrentFile, local)) {
    if (installByPatch(fields, *patch)) {
      checkInstalledSize(fields);
      return;
    }
    if (gStopRequested) return;
  }
  installFile(fields);
}

void processManifest(std::istream& manifest, const PatchIndex& patches) {
  // A kept part of a file the manifest no longer lists as it was is of no
  // use to any later run.
  KeptPart kept;
  bool hasPart = findKeptPart(&kept);
  bool partListed = false;
  // A record without its data, or data without its record, is no part.
  if (!hasPart) discardPart();
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
    // A signed run checks each download against the SHA-256 its line names.
    if (!gPublicKeys.empty()) fields.push_back(hashFieldOf(gCurrentFile));
    gCurrentFile = fields[0];
    if (hasPart && kept.identity == PartIdentity{fields[0], fields[1],
                                                  gPublicKeys.empty() ? "" : fields[4]}) {
      partListed = true;
    }
    // Only regular files are read or replaced, and only where no link
    // leads: a FIFO would block the run, a device or a linked folder would
    // take the manifest's writes outside the game.
    switch (inspectPath(gCurrentFile)) {
      case PathKind::special:
        writeLog("Not A Regular File:  Error updating " + printableText(gCurrentFile));
        continue;
      case PathKind::throughLink:
        writeLog("Linked Folder:  Error updating " + printableText(gCurrentFile));
        continue;
      default:
        break;
    }
    bringUpToDate(fields, patches);
  }
  // Only a run that read the whole manifest knows the part it found is not
  // listed; a part this run cut belongs to a listed file.
  KeptPart now;
  if (!gStopRequested && hasPart && !partListed && findKeptPart(&now) &&
      now.identity == kept.identity) {
    discardPart();
  }
}

}  // namespace

DownloadOutcome fetch() {
  return fetchUrlPath(urlPathOf(gCurrentFile));
}

DownloadOutcome fetchUrlPath(const std::string& urlPath) {
  gDownloadUrl = std::string(kUpdateBaseUrl) + urlPath;
  gDownloadOutcome = DownloadOutcome::notWritten;
  gDownloadDone = false;
  if (!startThread(downloadWorker)) {
    writeLog("Unable to start download:  Error updating " + printableText(gCurrentFile));
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
  FilePtr file(openRegularFile(name));
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
    logDroppedEntries();
    if (clearScratchFiles()) {
      bool isSigned = !gPublicKeys.empty();
      SignatureFile signature;
      bool fetched = isSigned ? fetchSignedManifest(&signature) : fetchManifest();
      // Patches only ever with a signature that covers their index.
      PatchIndex patches;
      if (isSigned && fetched) fetchPatchIndex(signature, &patches);
      std::ifstream manifest;
      // Read only as the regular file this run just wrote.
      if (fetched && inspectPath(kManifestName) == PathKind::regular) {
        manifest.open(kManifestName, std::ios::binary);
      }
      if (manifest.is_open()) {
        processManifest(manifest, patches);
      } else if (!isSigned || fetched) {
        // A signed run that refused the manifest has said why.
        writeLog("Unable to open update.dat");
      }
    }
  } catch (...) {
    writeLog("Error updating");
  }
  logDroppedEntries();
  endDialog(gDialog, 0);
  gUpdateFinished = true;
}

bool startUpdateWorker() {
  if (startThread(runUpdate)) return true;
  writeLog("Error updating");
  gUpdateFinished = true;
  return false;
}
