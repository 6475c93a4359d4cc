#include "update/update_run.h"

#include <fstream>

#include "base/file_ptr.h"
#include "base/names.h"
#include "download/fetch.h"
#include "download/fetch_ahead.h"
#include "download/progress.h"
#include "download/resume.h"
#include "download/session.h"
#include "hash/crc32.h"
#include "hash/file_reader.h"
#include "log/dated_log.h"
#include "log/printable.h"
#include "platform/dialog.h"
#include "platform/game_folder.h"
#include "platform/platform.h"
#include "platform/thread.h"
#include "shared/globals.h"
#include "update/ahead_run.h"
#include "update/freshness.h"
#include "update/install.h"
#include "update/patch_install.h"
#include "update/signed_manifest.h"

namespace {

// Fetches update.dat; true once it holds this run's manifest (or the empty
// one a failed transfer stands for).
bool fetchManifest(const RunContext& run) {
  removeFile(kManifestName);
  FetchRequest request;
  request.urlPath = kManifestName;
  request.shownName = kManifestName;
  request.target = kDownloadScratchFile;
  request.limit = kManifestBound;
  FetchResult fetched = fetchLogged(run, request);
  switch (fetched.outcome) {
    case DownloadOutcome::complete:
      if (!replaceGameFile(fetched.file, kManifestName)) {
        // An old manifest that cannot be replaced is not this run's: it is
        // never read.
        removeFile(fetched.file);
        messageBox(gDialog, cannotWriteMessage(kManifestName), "Updating Error");
        return false;
      }
      return true;
    case DownloadOutcome::failed: {
      std::string why = transferFailure(fetched, kManifestName);
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
  // What transfers fetched ahead left goes first; a name taken by a folder
  // only costs its slot a transfer of the run's own.
  for (int slot = 0; slot < kAheadFiles; ++slot) removeFile(aheadScratchName(slot));
  // An updater a run set aside (put_in_place.h) is deleted here, when it no
  // longer runs.
  for (const char* scratch :
       {kScratchFile, kDownloadScratchFile, kPartialFile, kPartialRecord, kUpdaterAsideFile}) {
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

// Brings `entry` up to date: by a patch from the local version where the
// index has one, else, or if it fails, by the full file.
void bringUpToDate(const ManifestEntry& entry, const PatchIndex& patches, const RunContext& run) {
  Freshness freshness = checkFreshness(entry, patches);
  if (freshness.current) return;
  if (freshness.patch) {
    if (installByPatch(entry, *freshness.patch, run)) {
      checkInstalledSize(entry);
      return;
    }
    if (gStopRequested) return;
  }
  installFile(entry, run);
}

// The lines of update.dat (the line breaks, and one more).
std::uint64_t countLines() {
  std::uint64_t lines = 1;
  auto file = openRegularFile(kManifestName);
  if (file) {
    readChunks(file.get(), [&lines](const unsigned char* data, std::size_t size) {
      for (std::size_t i = 0; i < size; ++i) lines += data[i] == '\n';
    });
  }
  return lines;
}

// Installs what `manifest` lists. Patches and bundles only ever with a
// signature (`signature`) that covers their index.
void processManifest(UpdateManifest& manifest, const SignatureFile* signature,
                     const RunContext& run) {
  PartSweep sweep = startPartSweep();
  PatchIndex patches;
  BundleIndex bundles;
  AheadRunPtr ahead = startAheadRun(run, patches, bundles, countLines(),
                                    sweep.hasPart ? &sweep.kept.identity : nullptr, signature);
  if (ahead) {
    readAheadIndexes(*ahead);
  } else if (signature) {
    fetchPatchIndex(run, *signature, &patches);
    fetchBundleIndex(run, *signature, &bundles);
  }
  ManifestFields fields;
  std::uint64_t line = 0;
  while (!gStopRequested && readManifestLine(manifest, gCurrentFile)) {
    ++line;
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
    ManifestEntry entry =
        entryOf(fields, run.options.isSigned() ? hashFieldOf(gCurrentFile) : std::string());
    gCurrentFile = entry.name;
    notePartListed(sweep, PartIdentity{entry.name, entry.packedSizeText, entry.sha256});
    // Only regular files are read or replaced, and only where no link
    // leads: a FIFO would block the run, a device or a linked folder would
    // take the manifest's writes outside the game.
    switch (inspectPath(entry.name)) {
      case PathKind::special:
        writeLog("Not A Regular File:  Error updating " + printableText(entry.name));
        continue;
      case PathKind::throughLink:
        writeLog("Linked Folder:  Error updating " + printableText(entry.name));
        continue;
      default:
        break;
    }
    if (ahead) {
      installAhead(*ahead, entry, line);
    } else {
      bringUpToDate(entry, patches, run);
    }
  }
  // Every transfer ends before the kept part is looked at again.
  ahead.reset();
  // Only a run that read the whole manifest knows the part it found is not
  // listed.
  if (!gStopRequested) finishPartSweep(sweep);
}

void runWith(const RunOptions& options) {
  if (!clearScratchFiles()) return;
  const RunContext run{options, openDownloadSession()};
  SignatureFile signature;
  bool fetched = options.isSigned() ? fetchSignedManifest(run, &signature) : fetchManifest(run);
  std::ifstream manifest;
  // Read only as the regular file this run just wrote.
  if (fetched && inspectPath(kManifestName) == PathKind::regular) {
    manifest.open(kManifestName, std::ios::binary);
  }
  if (manifest.is_open()) {
    processManifest(manifest, options.isSigned() ? &signature : nullptr, run);
  } else if (!options.isSigned() || fetched) {
    // A signed run that refused the manifest has said why.
    writeLog("Unable to open update.dat");
  }
}

}  // namespace

void runUpdate(void* arg) {
  auto* run = static_cast<UpdateRun*>(arg);
  try {
    logDroppedEntries();
    runWith(run->options);
  } catch (...) {
    writeLog("Error updating");
  }
  logDroppedEntries();
  endDialog(gDialog, 0);
  run->finished = true;
}

bool startUpdateWorker(UpdateRun* run, DialogHandle dialog) {
  gDialog = dialog;
  // Here, on the shell's thread, before the worker starts (session.h).
  initDownloads();
  run->worker = startThread(runUpdate, run);
  run->started = run->worker != nullptr;
  if (run->started) return true;
  writeLog("Error updating");
  run->finished = true;
  return false;
}

void stopUpdateWorker() {
  endDialog(gDialog, 0);
  gStopRequested = true;
}
