#pragma once

// What the dialog shows of a transfer: its progress in the bar and the status
// line, and the message box for a file that cannot be written.

#include <curl/curl.h>

#include <cstdint>
#include <string>

// What the progress report knows of the transfer it follows.
struct TransferProgress {
  // A continued part's earlier bytes, counted as done.
  std::int64_t offset = 0;
  // The whole file's listed size, shown as the total while the server has
  // not said how much is left.
  std::int64_t listedSize = 0;
};

// libcurl's progress callback; `clientp` is the transfer's TransferProgress.
// Shows the percentage of the download in the progress bar and the status
// line, under the name gCurrentFile. Returns nonzero (abandoning the
// transfer) only once the dialog has ended.
int onTransferProgress(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                       curl_off_t ulnow);

// dlnow * 100 / dltotal truncated toward zero, clamped to 0..100; 0 while the
// total is unknown.
int progressPercent(double dlnow, double dltotal);

// The message box text for a local file that cannot be written.
std::string cannotWriteMessage(const std::string& name);
