#include "shared/globals.h"

#include <utility>

#include "platform/resource_ids.h"

DialogHandle gDialog = nullptr;
std::string gCurrentFile;
std::string gDownloadUrl;
std::atomic<bool> gDownloadDone{false};
ZlibEngine gEngine;
std::atomic<bool> gStopRequested{false};

void setStatusText(std::string text) {
  setDlgItemText(gDialog, IDC_STATUS, std::move(text));
}
