#include "shared/globals.h"

#include <utility>

#include "shared/resource_ids.h"

DialogHandle gDialog = nullptr;
std::string gCurrentFile;
std::string gDownloadUrl;
std::atomic<bool> gDownloadDone{false};
ZlibEngine gEngine;

std::atomic<DownloadOutcome> gDownloadOutcome{DownloadOutcome::notWritten};
std::string gDownloadError;
bool gDownloadCut = false;
std::int64_t gDownloadLimit = 0;
PartIdentity gDownloadPart;
std::int64_t gDownloadOffset = 0;
std::atomic<bool> gHeadless{false};
bool gDownloadHashing = false;
Sha256Digest gDownloadSha256{};
std::vector<PublicKey> gPublicKeys;
std::atomic<bool> gStopRequested{false};
std::atomic<bool> gUpdateFinished{false};

void setStatusText(std::string text) {
  setDlgItemText(gDialog, IDC_STATUS, std::move(text));
}
