#include "update/install.h"

#include <zlib.h>

#include <fstream>
#include <locale>
#include <sstream>

#include "download/download_worker.h"
#include "log/dated_log.h"
#include "shared/globals.h"
#include "update/manifest.h"
#include "update/update_run.h"

namespace {

// Inflates the downloaded stream into kScratchFile and moves it over `name`.
// Any failure leaves `name` as it was.
void inflateOver(const std::string& name, const std::vector<std::string>& fields) {
  std::remove(kScratchFile);
  gEngine.outputLimit = static_cast<std::uint64_t>(sizeBound(readLong32(fields[2])));
  int result = gEngine.decompress(kDownloadScratchFile, kScratchFile);
  gEngine.outputLimit = 0;
  if (result != Z_OK) {
    writeLog("Invalid Compressed Data:  Error updating " + name);
    return;
  }
  if (!replaceFile(kScratchFile, name)) {
    messageBox(cannotWriteMessage(name), "Updating Error");
  }
}

}  // namespace

std::int64_t sizeBound(std::int32_t listedSize) {
  return (listedSize > 0 ? listedSize : 0) + kSizeSlack;
}

std::string measuredSize(const std::string& path) {
  std::ostringstream measured;
  measured.imbue(std::locale::classic());
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file.is_open()) {
    measured << -1;
  } else {
    std::int64_t length = static_cast<std::int64_t>(file.tellg());
    // Sizes are signed 32-bit numbers; a longer file wraps as the 32-bit
    // runtime's length would, and so never matches a listed size.
    measured << static_cast<std::int32_t>(static_cast<std::uint32_t>(length));
  }
  return measured.str();
}

void installFile(const std::vector<std::string>& fields) {
  // gCurrentFile is the download worker's while it runs; the name is kept
  // apart for the steps around it.
  const std::string name = gCurrentFile;
  gDownloadDone = false;
  setStatusText("Updating " + name + " - 0%");
  gDownloadLimit = sizeBound(readLong32(fields[1]));
  DownloadOutcome outcome = fetch();

  std::ostringstream expected;
  expected << fields[1];
  if (expected.str() != measuredSize(kDownloadScratchFile)) {
    writeLog("Invalid Pre-Decompression Size:  Error updating " + name);
  }
  if (outcome == DownloadOutcome::complete) inflateOver(name, fields);
  std::remove(kDownloadScratchFile);
  std::remove(kScratchFile);

  expected.str("");
  expected << fields[2];
  if (expected.str() != measuredSize(name)) {
    writeLog("Invalid Post-Decompression Size:  Error updating " + name);
  }
}
