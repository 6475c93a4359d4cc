#include "update/patch_install.h"

#include "base/file_ptr.h"
#include "base/names.h"
#include "base/status.h"
#include "download/fetch.h"
#include "download/progress.h"
#include "engine/patch_apply.h"
#include "hash/crc32.h"
#include "hash/file_reader.h"
#include "log/dated_log.h"
#include "log/printable.h"
#include "platform/dialog.h"
#include "platform/game_folder.h"
#include "platform/platform.h"
#include "shared/globals.h"
#include "update/install.h"
#include "update/put_in_place.h"

namespace {

// Tries the patch; the file is replaced once it succeeds.
Status tryPatch(const ManifestEntry& entry, const PatchEntry& patch, const RunContext& run,
                const Fetcher& fetch) {
  FetchRequest request = patchRequest(entry, patch);
  FetchResult fetched = fetch ? fetch(request) : fetchLogged(run, request);
  if (fetched.outcome != DownloadOutcome::complete) {
    return Status::failure(fetched.error.empty() ? "not downloaded"
                                                 : "download failed: " + fetched.error);
  }
  FilePtr patchFile(openRegularFile(fetched.file));
  if (!patchFile || fileLength(patchFile.get()) != patch.size || fetched.sha256 != patch.sha) {
    return Status::failure("not the patch the index lists");
  }
  FilePtr base(openRegularFile(entry.name));
  FilePtr out(removeFile(kScratchFile) ? createNewFile(kScratchFile) : nullptr);
  if (!base || !out) return Status::failure("cannot open the files");
  PatchOutcome applied = (patch.form == PatchForm::zlib ? applyZlibPatch : applyPatch)(
      base.get(), patchFile.get(), out.get(),
      static_cast<std::uint64_t>(sizeBound(entry.unpackedSize)), &gStopRequested, BaseCache());
  if (std::fclose(out.release()) != 0 && applied.ok) {
    applied.ok = false;
    applied.error = std::string("cannot write ") + kScratchFile;
  }
  base.reset();
  if (!applied.ok) return Status::failure(applied.error);
  if (applied.size != entry.unpackedSize || applied.crc != entry.checksum) {
    return Status::failure("the result is not the listed file");
  }
  // The local file is the patch's base: its folder is there.
  Status placed = putInPlace(kScratchFile, entry.name, run.options);
  if (!placed.ok()) writeLog(placed.error);
  return Status::success();
}

}  // namespace

LocalFile readLocalFile(const std::string& name) {
  LocalFile local;
  FilePtr file(openRegularFile(name));
  if (!file) return local;
  Sha256 sha;
  std::uint32_t crc = 0;
  std::int64_t size = 0;
  bool read = readChunks(file.get(), [&](const unsigned char* data, std::size_t got) {
    crc = crc32Update(crc, data, got);
    sha.update(data, got);
    size += static_cast<std::int64_t>(got);
  });
  if (!read) return local;
  local.exists = true;
  local.size = size;
  local.crc = crc;
  local.sha = sha.finish();
  return local;
}

const PatchEntry* patchFor(const PatchIndex& index, const std::string& name,
                           const LocalFile& local) {
  if (!local.exists) return nullptr;
  // The same patch may be served plain and as a zlib stream: the fewest
  // bytes to fetch win.
  const PatchEntry* best = nullptr;
  auto [first, last] = index.equal_range(name);
  for (auto it = first; it != last; ++it) {
    const PatchEntry& entry = it->second;
    if (entry.baseSize == local.size && entry.baseCrc == local.crc && entry.baseSha == local.sha &&
        (!best || entry.size < best->size)) {
      best = &entry;
    }
  }
  return best;
}

FetchRequest patchRequest(const ManifestEntry& entry, const PatchEntry& patch) {
  FetchRequest request;
  request.urlPath = patch.path;
  request.shownName = entry.name;
  request.target = kDownloadScratchFile;
  request.limit = patch.size;
  request.hash = true;
  return request;
}

bool installByPatch(const ManifestEntry& entry, const PatchEntry& patch, const RunContext& run,
                    const Fetcher& fetch) {
  setStatusText("Updating " + entry.name + " - 0%");
  Status status = tryPatch(entry, patch, run, fetch);
  // Nothing half-patched is ever left: the scratch files go either way.
  removeFile(kDownloadScratchFile);
  removeFile(kScratchFile);
  gCurrentFile = entry.name;
  if (status.ok()) return true;
  if (!gStopRequested) {
    writeLog("Invalid Patch (" + printableForLog(status.error) + "):  Error updating " +
             printableText(entry.name));
  }
  return false;
}
