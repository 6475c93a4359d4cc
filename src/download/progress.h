#pragma once

// What the dialog shows of a transfer: its progress in the bar and the status
// line, and the message box for a file that cannot be written.

#include <curl/curl.h>

#include <cstdint>
#include <string>

// libcurl's progress callback; `clientp` is the transfer's DownloadSink.
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
