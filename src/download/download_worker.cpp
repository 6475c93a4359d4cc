#include "download/download_worker.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "log/dated_log.h"
#include "platform/game_folder.h"
#include "shared/globals.h"
#include "shared/resource_ids.h"

namespace {

struct DownloadSink {
  std::FILE* file;
  std::int64_t limit;
  std::int64_t stored;
  bool overLimit;    // the server sent more than the bound allows
  bool writeFailed;  // the disk refused bytes
  Sha256* hash;      // what was stored, when asked for
};

struct CurlCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Why a transfer that did not complete failed, in a few words for the log;
// empty when the player stopped it.
std::string failureCause(CURLcode result, long status, const DownloadSink& sink,
                         const char* curlMessage) {
  if (sink.overLimit || result == CURLE_FILESIZE_EXCEEDED) return "more bytes than listed";
  if (sink.writeFailed) return std::string("cannot write ") + kDownloadScratchFile;
  if (result == CURLE_ABORTED_BY_CALLBACK && gStopRequested) return std::string();
  if (result == CURLE_OK || result == CURLE_HTTP_RETURNED_ERROR) {
    return "HTTP status " + std::to_string(status);
  }
  // libcurl's own words say more than its code ("Operation too slow. Less
  // than 100 bytes/sec transferred the last 60 seconds").
  return curlMessage[0] != '\0' ? curlMessage : curl_easy_strerror(result);
}

DownloadOutcome transfer(CURL* handle, FilePtr file) {
  // Taken as the bytes arrive: a file is never read twice.
  Sha256 hash;
  DownloadSink sink{file.get(), gDownloadLimit, 0, false, false, gDownloadHashing ? &hash : nullptr};
  std::vector<char> curlMessage(CURL_ERROR_SIZE, '\0');
  curl_easy_setopt(handle, CURLOPT_URL, gDownloadUrl.c_str());
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeToFile);
  curl_easy_setopt(handle, CURLOPT_READFUNCTION, readFromFile);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, onTransferProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, nullptr);
  curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
  // Worker threads must not take signals for name look-up time-outs.
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  // An announced length beyond the bound fails before any byte is stored.
  curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(gDownloadLimit));
  // A server that never accepts, never answers, stalls or drips fails the
  // transfer like any other fault, so the run (and the game's start) never
  // waits for ever, with or without a window to close.
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytesPerSecond);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, curlMessage.data());

  CURLcode result = curl_easy_perform(handle);
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  // A 3xx answer is not followed, and its body (or a captive portal's page)
  // is not the file: only a complete 2xx body counts.
  bool complete = result == CURLE_OK && status >= 200 && status < 300;
  if (std::fclose(file.release()) != 0) {
    sink.writeFailed = true;
    complete = false;
  }
  if (!complete) gDownloadError = failureCause(result, status, sink, curlMessage.data());
  if (sink.hash) gDownloadSha256 = hash.finish();
  return complete ? DownloadOutcome::complete : DownloadOutcome::failed;
}

}  // namespace

std::size_t writeToFile(char* ptr, std::size_t size, std::size_t nmemb, void* stream) {
  auto* sink = static_cast<DownloadSink*>(stream);
  std::int64_t bytes = static_cast<std::int64_t>(size * nmemb);
  if (sink->stored + bytes > sink->limit) {
    sink->overLimit = true;
    return 0;
  }
  std::size_t written = std::fwrite(ptr, size, nmemb, sink->file);
  if (written != nmemb) sink->writeFailed = true;
  if (sink->hash) sink->hash->update(ptr, written * size);
  sink->stored += static_cast<std::int64_t>(written * size);
  return written;
}

std::size_t readFromFile(char* ptr, std::size_t size, std::size_t nmemb, void* stream) {
  return std::fread(ptr, size, nmemb, static_cast<std::FILE*>(stream));
}

int progressPercent(double dlnow, double dltotal) {
  if (!(dltotal > 0)) return 0;
  double percent = dlnow * 100.0 / dltotal;
  if (!(percent > 0)) return 0;
  return percent >= 100 ? 100 : static_cast<int>(percent);
}

int onTransferProgress(void*, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
  setProgressRange(gDialog, IDC_PROGRESS, 0, 100);
  int percent = progressPercent(static_cast<double>(dlnow), static_cast<double>(dltotal));
  setProgressPos(gDialog, IDC_PROGRESS, percent);
  setStatusText("Updating " + gCurrentFile + " - " + std::to_string(percent) + "%");
  return gStopRequested ? 1 : 0;
}

std::string cannotWriteMessage(const std::string& name) {
  return "Cannot open the file " + name +
         " for writing.  The file is in use.  Please close the game first to prevent this "
         "problem.";
}

void downloadWorker(void*) {
  DownloadOutcome outcome = DownloadOutcome::notWritten;
  gDownloadError.clear();
  try {
    CurlHandle handle(curl_easy_init());
    if (handle) {
      // Made anew by this run, never reached through a link: the run only
      // ever renames a scratch file it wrote itself.
      FilePtr file(removeFile(kDownloadScratchFile) ? createNewFile(kDownloadScratchFile)
                                                      : nullptr);
      if (!file) {
        messageBox(cannotWriteMessage(gCurrentFile), "Updating Error");
      } else {
        outcome = transfer(handle.get(), std::move(file));
      }
    }
  } catch (...) {
    outcome = DownloadOutcome::failed;
    writeLog("Error updating");
  }
  if (outcome != DownloadOutcome::complete) removeFile(kDownloadScratchFile);
  gDownloadOutcome = outcome;
  gDownloadDone = true;
}
