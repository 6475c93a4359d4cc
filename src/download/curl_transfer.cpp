#include "download/curl_transfer.h"

#include <cstring>
#include <memory>

#include "shared/globals.h"

namespace {

std::string trimmed(const char* text, std::size_t size) {
  std::string value(text, size);
  while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ')) {
    value.pop_back();
  }
  std::size_t start = value.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : value.substr(start);
}

bool startsWithName(const char* line, std::size_t size, const char* name) {
  std::size_t length = std::strlen(name);
  if (size < length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    char a = line[i], b = name[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

std::size_t onHeader(char* line, std::size_t size, std::size_t count, void* data) {
  auto* sink = static_cast<DownloadSink*>(data);
  std::size_t bytes = size * count;
  if (startsWithName(line, bytes, "http/")) {
    sink->answer = Answer();  // a new response (after a 100 Continue, say)
  } else if (startsWithName(line, bytes, "etag:")) {
    sink->answer.etag = trimmed(line + 5, bytes - 5);
  } else if (startsWithName(line, bytes, "last-modified:")) {
    sink->answer.lastModified = trimmed(line + 14, bytes - 14);
  } else if (startsWithName(line, bytes, "content-range:")) {
    sink->answer.contentRange = trimmed(line + 14, bytes - 14);
  }
  return bytes;
}

// Why a transfer that did not complete failed, in a few words for the log;
// empty when the player stopped it.
std::string failureCause(const TransferDone& done, const DownloadSink& sink) {
  if (sink.overLimit || done.result == CURLE_FILESIZE_EXCEEDED) return "more bytes than listed";
  if (sink.writeFailed) return "cannot write " + sink.fileName;
  if (done.result == CURLE_ABORTED_BY_CALLBACK && gStopRequested) return std::string();
  if (done.result == CURLE_OK || done.result == CURLE_HTTP_RETURNED_ERROR) {
    return "HTTP status " + std::to_string(done.status);
  }
  // libcurl's own words say more than its code ("Operation too slow. Less
  // than 100 bytes/sec transferred the last 60 seconds").
  return !done.curlMessage.empty() ? done.curlMessage : curl_easy_strerror(done.result);
}

bool isCut(CURLcode result) {
  switch (result) {
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_COULDNT_CONNECT:
      return true;
    default:
      return false;
  }
}

}  // namespace

TransferSetup::~TransferSetup() {
  curl_slist_free_all(headers);
}

void configureTransfer(CURL* handle, const std::string& url, DownloadSink& sink,
                       const RangeRequest* range, TransferSetup& setup) {
  curl_easy_reset(handle);
  setup.curlMessage.assign(CURL_ERROR_SIZE, '\0');
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeToFile);
  curl_easy_setopt(handle, CURLOPT_READFUNCTION, readFromFile);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &sink);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, onTransferProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &sink.progress);
  curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
  // Worker threads must not take signals for name look-up time-outs.
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  // An announced length beyond the bound fails before any byte is stored.
  std::int64_t room = sink.limit - sink.stored;
  curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(room));
  // A server that never accepts, never answers, stalls or drips fails the
  // transfer like any other fault, so the run (and the game's start) never
  // waits for ever, with or without a window to close.
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytesPerSecond);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, setup.curlMessage.data());
  if (sink.proxy) applyProxy(handle, *sink.proxy, &sink.proxyRequests);
  if (range && range->to >= 0) {
    const std::string stretch = std::to_string(range->from) + "-" + std::to_string(range->to);
    curl_easy_setopt(handle, CURLOPT_RANGE, stretch.c_str());
  } else if (range) {
    // The rest of the file, and only if it is still the same entity; the
    // server sends the whole (new) file otherwise.
    curl_easy_setopt(handle, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(range->from));
    setup.headers = curl_slist_append(nullptr, ("If-Range: " + range->ifRange).c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, setup.headers);
  }
  sink.progress.offset = range && range->to < 0 ? range->from : 0;
}

TransferDone transferDone(CURL* handle, CURLcode code, const TransferSetup& setup) {
  TransferDone done;
  done.result = code;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &done.status);
  // A 3xx answer is not followed, and its body (or a captive portal's page)
  // is not the file: only a complete 2xx body counts.
  done.complete = done.result == CURLE_OK && done.status >= 200 && done.status < 300;
  done.curlMessage = setup.curlMessage.data();
  return done;
}

TransferDone performTransfer(CURL* handle, const std::string& url, DownloadSink& sink,
                             const RangeRequest* range) {
  TransferSetup setup;
  configureTransfer(handle, url, sink, range, setup);
  TransferDone done = transferDone(handle, curl_easy_perform(handle), setup);
  sink.progress.offset = 0;
  return done;
}

void finishTransfer(DownloadSink& sink, const TransferDone& done, Sha256& hash,
                    FetchResult* result) {
  if (sink.owned && std::fclose(sink.owned.release()) != 0) sink.writeFailed = true;
  sink.file = nullptr;
  bool complete = done.complete && !sink.writeFailed;
  result->outcome = complete ? DownloadOutcome::complete : DownloadOutcome::failed;
  result->error = complete ? std::string() : failureCause(done, sink);
  // What the network said came through the proxy the run chose, if any.
  if (!complete && !sink.writeFailed && sink.proxy) {
    result->error = proxyFailureCause(result->error, done.result, done.status, *sink.proxy);
  }
  result->cut = !complete && !sink.overLimit && !sink.writeFailed && isCut(done.result);
  if (sink.hash) result->sha256 = hash.finish();
}

std::size_t writeToFile(char* ptr, std::size_t size, std::size_t nmemb, void* stream) {
  auto* sink = static_cast<DownloadSink*>(stream);
  if (!sink->file && (!sink->openBody || !sink->openBody(*sink))) return 0;
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
