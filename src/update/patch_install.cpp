#include "update/patch_install.h"

#include <memory>

#include "download/download_worker.h"
#include "engine/patch_apply.h"
#include "log/dated_log.h"
#include "platform/game_folder.h"
#include "shared/globals.h"
#include "update/checksum.h"
#include "update/install.h"
#include "update/manifest.h"
#include "update/update_run.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Tries the patch; "" once the file is replaced, else why not.
std::string tryPatch(const std::string& name, const std::vector<std::string>& fields,
                     const PatchEntry& patch) {
  gDownloadLimit = patch.size;
  gDownloadHashing = true;
  DownloadOutcome outcome = fetchUrlPath(patch.path);
  gDownloadHashing = false;
  if (outcome != DownloadOutcome::complete) {
    return gDownloadError.empty() ? "not downloaded" : "download failed: " + gDownloadError;
  }
  FilePtr patchFile(openRegularFile(kDownloadScratchFile));
  if (!patchFile || fileLength(patchFile.get()) != patch.size || gDownloadSha256 != patch.sha) {
    return "not the patch the index lists";
  }
  FilePtr base(openRegularFile(name));
  FilePtr out(removeFile(kScratchFile) ? createNewFile(kScratchFile) : nullptr);
  if (!base || !out) return "cannot open the files";
  std::int32_t listedSize = readLong32(fields[2]);
  PatchOutcome applied =
      applyPatch(base.get(), patchFile.get(), out.get(),
                 static_cast<std::uint64_t>(sizeBound(listedSize)), &gStopRequested);
  if (std::fclose(out.release()) != 0 && applied.ok) {
    applied.ok = false;
    applied.error = std::string("cannot write ") + kScratchFile;
  }
  base.reset();
  if (!applied.ok) return applied.error;
  if (applied.size != listedSize ||
      applied.crc != static_cast<std::uint32_t>(readLong32(fields[3]))) {
    return "the result is not the listed file";
  }
  if (!replaceGameFile(kScratchFile, name)) {
    messageBox(cannotWriteMessage(name), "Updating Error");
  }
  return std::string();
}

}  // namespace

LocalFile readLocalFile(const std::string& name) {
  LocalFile local;
  FilePtr file(openRegularFile(name));
  if (!file) return local;
  constexpr std::size_t kChunk = 256 * 1024;
  std::unique_ptr<unsigned char[]> chunk(new unsigned char[kChunk]);
  Sha256 sha;
  std::uint32_t crc = 0;
  std::int64_t size = 0;
  std::size_t got;
  while ((got = std::fread(chunk.get(), 1, kChunk, file.get())) > 0) {
    crc = crc32Update(crc, chunk.get(), got);
    sha.update(chunk.get(), got);
    size += static_cast<std::int64_t>(got);
  }
  if (std::ferror(file.get())) return local;
  local.exists = true;
  local.size = size;
  local.crc = crc;
  local.sha = sha.finish();
  return local;
}

const PatchEntry* patchFor(const PatchIndex& index, const std::string& name,
                           const LocalFile& local) {
  if (!local.exists) return nullptr;
  auto [first, last] = index.equal_range(name);
  for (auto it = first; it != last; ++it) {
    const PatchEntry& entry = it->second;
    if (entry.baseSize == local.size && entry.baseCrc == local.crc && entry.baseSha == local.sha) {
      return &entry;
    }
  }
  return nullptr;
}

bool installByPatch(const std::vector<std::string>& fields, const PatchEntry& patch) {
  const std::string name = gCurrentFile;
  setStatusText("Updating " + name + " - 0%");
  std::string why = tryPatch(name, fields, patch);
  // Nothing half-patched is ever left: the scratch files go either way.
  removeFile(kDownloadScratchFile);
  removeFile(kScratchFile);
  gCurrentFile = name;
  if (why.empty()) return true;
  if (!gStopRequested) {
    writeLog("Invalid Patch (" + printableForLog(why) + "):  Error updating " + printableText(name));
  }
  return false;
}
