#pragma once

// One libcurl transfer of the download worker: the options every transfer
// gets, where its bytes go, what the server said of the entity, and why a
// transfer failed. Internal to the download layer.

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/file_ptr.h"
#include "download/progress.h"
#include "download/proxy_setup.h"
#include "download/request.h"
#include "hash/sha256.h"

// Bounds on every transfer: no connection within kConnectTimeoutSeconds, or
// less than kLowSpeedBytesPerSecond for kLowSpeedSeconds (a server that
// answers nothing, stalls or drips), fails it like any other fault.
inline constexpr long kConnectTimeoutSeconds = 30;
inline constexpr long kLowSpeedBytesPerSecond = 100;
inline constexpr long kLowSpeedSeconds = 60;

// What the server said about the entity in its headers.
struct Answer {
  std::string etag;
  std::string lastModified;
  std::string contentRange;
};

struct DownloadSink;
// Opens the sink's file once the answer's headers are in; false refuses the
// body.
using OpenBody = bool (*)(DownloadSink& sink);

// Where a transfer's bytes go.
struct DownloadSink {
  std::string fileName;  // for the log
  std::FILE* file = nullptr;
  FilePtr owned;
  std::int64_t limit = 0;
  std::int64_t stored = 0;   // including a continued part's earlier bytes
  bool overLimit = false;    // the server sent more than the bound allows
  bool writeFailed = false;  // the disk refused bytes
  bool mismatch = false;     // a continued part got another entity's bytes
  Sha256* hash = nullptr;    // what was stored, when asked for
  // A transfer that chooses its file only once it knows what the answer is
  // (a part transfer): called at the first byte of the body, or at the end
  // of an empty one, with `owner` at hand.
  OpenBody openBody = nullptr;
  void* owner = nullptr;
  TransferProgress progress;
  // The run's proxy (null: libcurl's own choice), and the requests this
  // transfer sent through it.
  const ProxyChoice* proxy = nullptr;
  ProxyRequests proxyRequests;
  Answer answer;
};

// How a transfer ended on the wire.
struct TransferDone {
  CURLcode result = CURLE_OK;
  long status = 0;
  bool complete = false;  // a whole 2xx body
  std::string curlMessage;
};

// Where a transfer starts in the entity: a part transfer continues at
// `from` as long as the entity still has the validator `ifRange`; a transfer
// of a stretch (`to` >= 0) asks for bytes `from` to `to` alone.
struct RangeRequest {
  std::int64_t from = 0;
  std::int64_t to = -1;
  std::string ifRange;
};

// What libcurl holds on to while it runs a transfer.
struct TransferSetup {
  std::vector<char> curlMessage;
  curl_slist* headers = nullptr;
  TransferSetup() = default;
  TransferSetup(const TransferSetup&) = delete;
  TransferSetup& operator=(const TransferSetup&) = delete;
  ~TransferSetup();
};

// Sets every option of a GET of `url` into `sink` on `handle`: the bounds
// above, the sink's limit, the proxy, the progress report, and `range` if
// given. `sink` and `setup` must outlive the transfer.
void configureTransfer(CURL* handle, const std::string& url, DownloadSink& sink,
                       const RangeRequest* range, TransferSetup& setup);

// How the transfer on `handle` ended, libcurl having said `code`.
TransferDone transferDone(CURL* handle, CURLcode code, const TransferSetup& setup);

// GETs `url` into `sink` on `handle` (configureTransfer) and waits for it.
TransferDone performTransfer(CURL* handle, const std::string& url, DownloadSink& sink,
                             const RangeRequest* range);

// Closes the sink's file and says in `result` how the transfer ended: its
// outcome, the cause of a failure and whether it was a cut.
void finishTransfer(DownloadSink& sink, const TransferDone& done, Sha256& hash,
                    FetchResult* result);

// libcurl's write callback: stores the items in the DownloadSink `stream`;
// returns the count stored, fewer (ending the transfer) once the sink's limit
// would be passed or the disk refuses them.
std::size_t writeToFile(char* ptr, std::size_t size, std::size_t nmemb, void* stream);
// libcurl's read callback, registered but never used by a download.
std::size_t readFromFile(char* ptr, std::size_t size, std::size_t nmemb, void* stream);
