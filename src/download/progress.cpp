#include "download/progress.h"

#include "platform/resource_ids.h"
#include "shared/globals.h"

int progressPercent(double dlnow, double dltotal) {
  if (!(dltotal > 0)) return 0;
  double percent = dlnow * 100.0 / dltotal;
  if (!(percent > 0)) return 0;
  return percent >= 100 ? 100 : static_cast<int>(percent);
}

int onTransferProgress(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t,
                       curl_off_t) {
  const auto* progress = static_cast<const TransferProgress*>(clientp);
  setProgressRange(gDialog, IDC_PROGRESS, 0, 100);
  // A continued part shows how much of the whole file is there, also before
  // the server has said how much is left.
  double offset = static_cast<double>(progress->offset);
  double total = dltotal > 0 || offset == 0 ? offset + static_cast<double>(dltotal)
                                            : static_cast<double>(progress->listedSize);
  int percent = progressPercent(offset + static_cast<double>(dlnow), total);
  setProgressPos(gDialog, IDC_PROGRESS, percent);
  setStatusText("Updating " + gCurrentFile + " - " + std::to_string(percent) + "%");
  return gStopRequested ? 1 : 0;
}

std::string cannotWriteMessage(const std::string& name) {
  return "Cannot open the file " + name +
         " for writing.  The file is in use.  Please close the game first to prevent this "
         "problem.";
}
