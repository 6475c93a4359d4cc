#include "download/fetch.h"

#include <chrono>

#include "download/download_worker.h"
#include "download/resume.h"
#include "platform/thread.h"
#include "shared/base_url.h"
#include "shared/globals.h"

namespace {

// How long the update worker keeps looking for the end of a transfer before
// it sleeps between looks.
constexpr std::chrono::microseconds kSpinBeforeSleeping(1000);

FetchResult handOff(const DownloadSession& session, const FetchRequest& request) {
  FetchResult result;
  DownloadJob job{&session, &request, &result};
  gCurrentFile = request.shownName;
  gDownloadUrl = std::string(kUpdateBaseUrl) + request.urlPath;
  gDownloadDone = false;
  // Let go of (joined) on return, after the worker's last act.
  Thread worker = startThread(downloadWorker, &job);
  if (!worker) {
    result.fault = FetchFault::noThread;
    return result;
  }
  // A small file is often done in less than a millisecond: looking again at
  // once for a short while saves it waiting out a whole sleep for nothing.
  // Longer transfers are waited for in 1 ms sleeps, which cost no processor.
  const auto spinUntil = std::chrono::steady_clock::now() + kSpinBeforeSleeping;
  while (!gDownloadDone && std::chrono::steady_clock::now() < spinUntil) yieldProcessor();
  while (!gDownloadDone) sleepOneMillisecond();
  return result;
}

}  // namespace

FetchResult fetch(const DownloadSession& session, const FetchRequest& request) {
  for (int retry = 0;; ++retry) {
    FetchResult result = handOff(session, request);
    if (request.part.name.empty() || !worthRetrying(request, result, retry)) return result;
    pauseBeforeRetry(retry);
  }
}
