#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <string>

// The download worker's thread procedure. Fetches gDownloadUrl into
// kDownloadScratchFile, storing at most gDownloadLimit bytes, while the
// dialog follows the transfer under the name gCurrentFile. Records the
// outcome in gDownloadOutcome (a failed transfer leaves no scratch file), then
// sets gDownloadDone as its last act on every path. A failed transfer's cause
// is left in gDownloadError.
void downloadWorker(void*);

// Bounds on every transfer: no connection within kConnectTimeoutSeconds, or
// less than kLowSpeedBytesPerSecond for kLowSpeedSeconds (a server that
// answers nothing, stalls or drips), fails it like any other fault.
inline constexpr long kConnectTimeoutSeconds = 30;
inline constexpr long kLowSpeedBytesPerSecond = 100;
inline constexpr long kLowSpeedSeconds = 60;

// libcurl's write callback: stores the items in the DownloadSink `stream`;
// returns the count stored, fewer (ending the transfer) once the sink's limit
// would be passed or the disk refuses them.
std::size_t writeToFile(char* ptr, std::size_t size, std::size_t nmemb, void* stream);
// libcurl's read callback, registered but never used by a download.
std::size_t readFromFile(char* ptr, std::size_t size, std::size_t nmemb, void* stream);
// libcurl's progress callback: shows the percentage of the download in the
// progress bar and the status line. Returns nonzero (abandoning the transfer)
// only once the dialog has ended.
int onTransferProgress(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                       curl_off_t ulnow);

// dlnow * 100 / dltotal truncated toward zero, clamped to 0..100; 0 while the
// total is unknown.
int progressPercent(double dlnow, double dltotal);

// The message box text for a local file that cannot be written.
std::string cannotWriteMessage(const std::string& name);
