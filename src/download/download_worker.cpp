#include "download/download_worker.h"

#include <memory>

#include "base/file_ptr.h"
#include "download/curl_transfer.h"
#include "download/progress.h"
#include "download/resume.h"
#include "download/session.h"
#include "platform/game_folder.h"
#include "shared/globals.h"

namespace {

struct CurlCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

void transferPlain(CURL* handle, const DownloadSession& session, const FetchRequest& request,
                   FilePtr file, FetchResult* result) {
  // Taken as the bytes arrive: a file is never read twice.
  Sha256 hash;
  DownloadSink sink;
  sink.fileName = request.target;
  sink.file = file.get();
  sink.owned = std::move(file);
  sink.limit = request.limit;
  sink.hash = request.hash ? &hash : nullptr;
  sink.proxy = &session.proxy;
  result->file = request.target;
  TransferDone done = performTransfer(handle, gDownloadUrl, sink, nullptr);
  finishTransfer(sink, done, hash, result);
}

}  // namespace

void downloadWorker(void* arg) {
  const auto* job = static_cast<const DownloadJob*>(arg);
  const FetchRequest& request = *job->request;
  FetchResult& result = *job->result;
  result = FetchResult();
  const bool plain = request.part.name.empty();
  try {
    CurlHandle handle(curl_easy_init());
    if (handle) useConnectionCache(handle.get(), *job->session);
    if (handle && !plain) {
      transferPart(handle.get(), *job->session, gDownloadUrl, request, &result);
    } else if (handle) {
      // Made anew by this run, never reached through a link: the run only
      // ever renames a scratch file it wrote itself.
      FilePtr file(removeFile(request.target) ? createNewFile(request.target) : nullptr);
      if (!file) {
        messageBox(gDialog, cannotWriteMessage(gCurrentFile), "Updating Error");
      } else {
        transferPlain(handle.get(), *job->session, request, std::move(file), &result);
      }
    }
  } catch (...) {
    result.outcome = DownloadOutcome::failed;
    result.fault = FetchFault::unexpected;
  }
  if (result.outcome != DownloadOutcome::complete && plain) removeFile(request.target);
  gDownloadDone = true;
}
