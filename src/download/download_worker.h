#pragma once

// The download worker: one transfer on a thread of its own, handed over
// through gCurrentFile, gDownloadUrl and gDownloadDone (fetch.h starts it and
// waits).

#include "download/request.h"
#include "download/session.h"

// What the update worker hands a download worker: the request, and where its
// result goes. Both belong to the update worker, which waits for
// gDownloadDone before it reads the result.
struct DownloadJob {
  const DownloadSession* session = nullptr;
  const FetchRequest* request = nullptr;
  FetchResult* result = nullptr;
};

// The download worker's thread procedure; `job` is a DownloadJob. Fetches
// gDownloadUrl as its request says, while the dialog follows the transfer
// under the name gCurrentFile. A plain transfer lands in the request's target
// (a failed one leaves none); a listed file's transfer in the kept part. Sets
// gDownloadDone as its last act on every path.
void downloadWorker(void* job);
