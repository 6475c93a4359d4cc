#include "download/download_worker.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "download/proxy_setup.h"
#include "download/resume.h"
#include "log/dated_log.h"
#include "platform/game_folder.h"
#include "shared/globals.h"
#include "shared/resource_ids.h"
#include "update/manifest.h"

namespace {

constexpr std::size_t kMaxValidatorLength = 200;

struct CurlCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

struct HeaderListFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListFree>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// What the server said about the entity in its headers.
struct Answer {
  std::string etag;
  std::string lastModified;
  std::string contentRange;
};

// Where a transfer's bytes go. A part transfer opens its file only once the
// answer is known to be the file (or the rest of it).
struct DownloadSink {
  std::FILE* file = nullptr;
  FilePtr owned;
  std::int64_t limit = 0;
  std::int64_t stored = 0;  // including a continued part's earlier bytes
  bool overLimit = false;    // the server sent more than the bound allows
  bool writeFailed = false;  // the disk refused bytes
  bool mismatch = false;     // a continued part got another entity's bytes
  Sha256* hash = nullptr;    // what was stored, when asked for
  // A part transfer: what it is a part of, and the part it continues.
  const PartIdentity* part = nullptr;
  const KeptPart* kept = nullptr;
  Answer answer;
};

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

// The validator to continue this entity with later: a strong ETag, else the
// Last-Modified date; "" if neither is usable in an If-Range.
std::string validatorOf(const Answer& answer) {
  const std::string& chosen = !answer.etag.empty() && answer.etag.compare(0, 2, "W/") != 0
                                  ? answer.etag
                                  : answer.lastModified;
  if (chosen.size() > kMaxValidatorLength) return std::string();
  for (char c : chosen) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) {
      return std::string();
    }
  }
  return chosen;
}

// Whether a 206 answer continues the kept part of the same entity: its range
// starts where the part ends and covers the listed size, and the server
// names the same entity.
bool continuesPart(const DownloadSink& sink) {
  const std::string& range = sink.answer.contentRange;
  std::string expected = "bytes " + std::to_string(sink.kept->bytes) + "-";
  if (range.compare(0, expected.size(), expected) != 0) return false;
  std::size_t slash = range.rfind('/');
  if (slash == std::string::npos) return false;
  std::int32_t listed = readLong32(sink.part->packedSize);
  if (listed >= 0 && range.substr(slash + 1) != std::to_string(listed)) return false;
  std::string validator = validatorOf(sink.answer);
  return validator.empty() || validator == sink.kept->validator;
}

// Opens the part's file at the first byte of the body.
bool openPart(DownloadSink* sink) {
  if (sink->kept) {
    if (!continuesPart(*sink)) {
      sink->mismatch = true;
      return false;
    }
    sink->owned.reset(openForAppending(kPartialFile));
  } else if (beginPart(*sink->part, validatorOf(sink->answer))) {
    sink->owned.reset(openForAppending(kPartialFile));
  }
  sink->file = sink->owned.get();
  if (!sink->file) sink->writeFailed = true;
  return sink->file != nullptr;
}

// Why a transfer that did not complete failed, in a few words for the log;
// empty when the player stopped it.
std::string failureCause(CURLcode result, long status, const DownloadSink& sink,
                         const char* curlMessage) {
  if (sink.overLimit || result == CURLE_FILESIZE_EXCEEDED) return "more bytes than listed";
  if (sink.writeFailed) return std::string("cannot write ") + (sink.part ? kPartialFile
                                                                         : kDownloadScratchFile);
  if (result == CURLE_ABORTED_BY_CALLBACK && gStopRequested) return std::string();
  if (result == CURLE_OK || result == CURLE_HTTP_RETURNED_ERROR) {
    return "HTTP status " + std::to_string(status);
  }
  // libcurl's own words say more than its code ("Operation too slow. Less
  // than 100 bytes/sec transferred the last 60 seconds").
  return curlMessage[0] != '\0' ? curlMessage : curl_easy_strerror(result);
}

struct TransferResult {
  CURLcode result;
  long status;
  bool complete;
};

TransferResult perform(CURL* handle, DownloadSink& sink, const KeptPart* kept,
                       std::vector<char>& curlMessage) {
  curl_easy_reset(handle);
  curlMessage.assign(CURL_ERROR_SIZE, '\0');
  curl_easy_setopt(handle, CURLOPT_URL, gDownloadUrl.c_str());
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeToFile);
  curl_easy_setopt(handle, CURLOPT_READFUNCTION, readFromFile);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &sink);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, onTransferProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, nullptr);
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
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, curlMessage.data());
  ProxyRequests proxyRequests;
  applyProxy(handle, proxyForThisRun(), &proxyRequests);
  HeaderList headers;
  if (kept) {
    // The rest of the file, and only if it is still the same entity; the
    // server sends the whole (new) file otherwise.
    curl_easy_setopt(handle, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(kept->bytes));
    headers.reset(curl_slist_append(nullptr, ("If-Range: " + kept->validator).c_str()));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  }
  gDownloadOffset = kept ? kept->bytes : 0;

  TransferResult done{curl_easy_perform(handle), 0, false};
  gDownloadOffset = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &done.status);
  // A 3xx answer is not followed, and its body (or a captive portal's page)
  // is not the file: only a complete 2xx body counts.
  done.complete = done.result == CURLE_OK && done.status >= 200 && done.status < 300;
  return done;
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

DownloadOutcome finish(DownloadSink& sink, const TransferResult& done, Sha256& hash,
                       const std::vector<char>& curlMessage) {
  if (sink.owned && std::fclose(sink.owned.release()) != 0) sink.writeFailed = true;
  bool complete = done.complete && !sink.writeFailed;
  if (!complete) gDownloadError = failureCause(done.result, done.status, sink, curlMessage.data());
  // What the network said came through the proxy the updater chose, if any.
  if (!complete && !sink.writeFailed) {
    gDownloadError = proxyFailureCause(gDownloadError, done.result, done.status, proxyForThisRun());
  }
  gDownloadCut = !complete && !sink.overLimit && !sink.writeFailed && isCut(done.result);
  // More than the listed size is no part of the listed file; and a part the
  // disk refused would hold the space the log needs.
  if (sink.part && (sink.overLimit || sink.writeFailed)) discardPart();
  if (sink.hash) gDownloadSha256 = hash.finish();
  return complete ? DownloadOutcome::complete : DownloadOutcome::failed;
}

DownloadOutcome transferPlain(CURL* handle, FilePtr file) {
  // Taken as the bytes arrive: a file is never read twice.
  Sha256 hash;
  DownloadSink sink;
  sink.file = file.get();
  sink.owned = std::move(file);
  sink.limit = gDownloadLimit;
  sink.hash = gDownloadHashing ? &hash : nullptr;
  std::vector<char> curlMessage;
  TransferResult done = perform(handle, sink, nullptr, curlMessage);
  return finish(sink, done, hash, curlMessage);
}

// Hashes the kept part's bytes, which the transfer then continues.
bool hashKeptPart(Sha256* hash) {
  FilePtr data(openRegularFile(kPartialFile));
  if (!data) return false;
  std::vector<unsigned char> chunk(256 * 1024);
  std::size_t got;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), data.get())) > 0) {
    hash->update(chunk.data(), got);
  }
  return !std::ferror(data.get());
}

DownloadOutcome transferPart(CURL* handle) {
  const PartIdentity& identity = gDownloadPart;
  KeptPart kept;
  bool continuing = findKeptPart(&kept) && kept.identity == identity && kept.bytes > 0 &&
                    !kept.validator.empty() && kept.bytes <= gDownloadLimit;
  std::int32_t listed = readLong32(identity.packedSize);
  for (int attempt = 0; attempt < 2; ++attempt) {
    Sha256 hash;
    DownloadSink sink;
    sink.limit = gDownloadLimit;
    sink.hash = gDownloadHashing ? &hash : nullptr;
    sink.part = &identity;
    if (continuing) {
      sink.kept = &kept;
      sink.stored = kept.bytes;
      if (sink.hash && !hashKeptPart(sink.hash)) {
        discardPart();
        continuing = false;
        continue;
      }
      // A part that is already whole (a run killed before inflating it) needs
      // no transfer; the run checks it like any download.
      if (kept.bytes == listed) {
        if (sink.hash) gDownloadSha256 = hash.finish();
        return DownloadOutcome::complete;
      }
    }
    std::vector<char> curlMessage;
    TransferResult done = perform(handle, sink, continuing ? &kept : nullptr, curlMessage);
    if (done.complete && !sink.file && !sink.writeFailed) {
      // An empty body never reached the write callback.
      if (openPart(&sink)) {
        sink.owned.reset();
        sink.file = nullptr;
      }
    }
    bool refused = continuing && (done.result == CURLE_RANGE_ERROR || done.status == 416 ||
                                  sink.mismatch);
    if (refused) {
      // The server would not continue this part (it changed, or ignores
      // ranges): it goes, and the file is fetched whole.
      sink.owned.reset();
      discardPart();
      continuing = false;
      continue;
    }
    return finish(sink, done, hash, curlMessage);
  }
  return DownloadOutcome::failed;
}

}  // namespace

std::size_t writeToFile(char* ptr, std::size_t size, std::size_t nmemb, void* stream) {
  auto* sink = static_cast<DownloadSink*>(stream);
  if (!sink->file && (!sink->part || !openPart(sink))) return 0;
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
  // A continued part shows how much of the whole file is there, also before
  // the server has said how much is left.
  double offset = static_cast<double>(gDownloadOffset);
  double total = dltotal > 0 || offset == 0 ? offset + static_cast<double>(dltotal)
                                            : readLong32(gDownloadPart.packedSize);
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

void downloadWorker(void*) {
  DownloadOutcome outcome = DownloadOutcome::notWritten;
  gDownloadError.clear();
  gDownloadCut = false;
  try {
    CurlHandle handle(curl_easy_init());
    if (handle && !gDownloadPart.name.empty()) {
      outcome = transferPart(handle.get());
    } else if (handle) {
      // Made anew by this run, never reached through a link: the run only
      // ever renames a scratch file it wrote itself.
      FilePtr file(removeFile(kDownloadScratchFile) ? createNewFile(kDownloadScratchFile)
                                                      : nullptr);
      if (!file) {
        messageBox(cannotWriteMessage(gCurrentFile), "Updating Error");
      } else {
        outcome = transferPlain(handle.get(), std::move(file));
      }
    }
  } catch (...) {
    outcome = DownloadOutcome::failed;
    writeLog("Error updating");
  }
  if (outcome != DownloadOutcome::complete && gDownloadPart.name.empty()) {
    removeFile(kDownloadScratchFile);
  }
  gDownloadOutcome = outcome;
  gDownloadDone = true;
}
