#include "download/resume.h"

#include <sstream>
#include <vector>

#include "base/file_ptr.h"
#include "base/names.h"
#include "download/curl_transfer.h"
#include "hash/file_reader.h"
#include "platform/game_folder.h"
#include "platform/platform.h"
#include "platform/thread.h"
#include "shared/globals.h"

namespace {

constexpr char kFormatLine[] = "brightwick-partial 1";
constexpr std::size_t kMaxRecordSize = 4096;
constexpr std::size_t kMaxValidatorLength = 200;

// The value of the next line, which must be `key value`, or false.
bool take(std::istringstream& lines, const std::string& key, std::string* value) {
  std::string line;
  if (!std::getline(lines, line) || line.compare(0, key.size() + 1, key + " ") != 0) return false;
  *value = line.substr(key.size() + 1);
  return true;
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

// A part transfer in flight: what it is a part of, and the part it
// continues (null: none).
struct PartTransfer {
  const PartIdentity* identity = nullptr;
  const KeptPart* kept = nullptr;
};

// Whether a 206 answer continues the kept part of the same entity: its range
// starts where the part ends and covers the listed size, and the server
// names the same entity.
bool continuesPart(const DownloadSink& sink, const PartTransfer& part) {
  const std::string& range = sink.answer.contentRange;
  std::string expected = "bytes " + std::to_string(part.kept->bytes) + "-";
  if (range.compare(0, expected.size(), expected) != 0) return false;
  std::size_t slash = range.rfind('/');
  if (slash == std::string::npos) return false;
  if (sink.progress.listedSize >= 0 &&
      range.substr(slash + 1) != std::to_string(sink.progress.listedSize)) {
    return false;
  }
  std::string validator = validatorOf(sink.answer);
  return validator.empty() || validator == part.kept->validator;
}

// Opens the part's file at the first byte of the body.
bool openPart(DownloadSink& sink) {
  const auto& part = *static_cast<const PartTransfer*>(sink.owner);
  if (part.kept) {
    if (!continuesPart(sink, part)) {
      sink.mismatch = true;
      return false;
    }
    sink.owned = openForAppending(kPartialFile);
  } else if (beginPart(*part.identity, validatorOf(sink.answer))) {
    sink.owned = openForAppending(kPartialFile);
  }
  sink.file = sink.owned.get();
  if (!sink.file) sink.writeFailed = true;
  return sink.file != nullptr;
}

// Hashes the kept part's bytes, which the transfer then continues.
bool hashKeptPart(Sha256* hash) {
  FilePtr data(openRegularFile(kPartialFile));
  return data && readChunks(data.get(), [hash](const unsigned char* bytes, std::size_t size) {
           hash->update(bytes, size);
         });
}

// The bytes kept for `identity` that a transfer can continue: a part whose
// server gave no validator would only be fetched again from the start.
std::int64_t keptBytesOf(const PartIdentity& identity) {
  KeptPart kept;
  bool usable = findKeptPart(&kept) && kept.identity == identity && !kept.validator.empty();
  return usable ? kept.bytes : 0;
}

}  // namespace

bool findKeptPart(KeptPart* part) {
  std::string text;
  // The last line of a whole record ends with its newline.
  if (!readSmallFile(kPartialRecord, kMaxRecordSize, &text) || text.empty() ||
      text.back() != '\n') {
    return false;
  }
  std::istringstream lines(text);
  std::string format;
  KeptPart kept;
  if (!std::getline(lines, format) || format != kFormatLine ||
      !take(lines, "name", &kept.identity.name) ||
      !take(lines, "size", &kept.identity.packedSize)) {
    return false;
  }
  std::streampos mark = lines.tellg();
  if (!take(lines, "sha256", &kept.identity.sha256)) {
    lines.clear();
    lines.seekg(mark);
  }
  if (!take(lines, "validator", &kept.validator)) return false;
  FilePtr data(openRegularFile(kPartialFile));
  if (!data) return false;
  kept.bytes = fileLength(data.get());
  if (kept.bytes < 0) return false;
  *part = kept;
  return true;
}

bool beginPart(const PartIdentity& identity, const std::string& validator) {
  // The old part goes first: a record must never describe data it did not
  // see arrive.
  if (!removeFile(kPartialFile)) return false;
  std::string text =
      std::string(kFormatLine) + "\nname " + identity.name + "\nsize " + identity.packedSize + "\n";
  if (!identity.sha256.empty()) text += "sha256 " + identity.sha256 + "\n";
  text += "validator " + validator + "\n";
  // Written in place, without a flush: the old part is already gone, so no
  // earlier record is worth keeping, and a record cut short by a crash
  // either fails to read or names other content (then the part is dropped or
  // the server answers in full). Each file's transfer used to wait for a
  // flush of its own here, which doubled the cost of a small file.
  if (!removeFile(kPartialRecord)) return false;
  {
    FilePtr out(createNewFile(kPartialRecord));
    if (!out) return false;
    bool written = std::fwrite(text.data(), 1, text.size(), out.get()) == text.size();
    if (std::fclose(out.release()) != 0 || !written) return false;
  }
  FilePtr data(createNewFile(kPartialFile));
  return data != nullptr;
}

void discardPart() {
  removeFile(kPartialFile);
  removeFile(kPartialRecord);
}

void discardPartOf(const PartIdentity& identity) {
  KeptPart kept;
  if (findKeptPart(&kept) && kept.identity == identity) discardPart();
}

bool adoptPart(const std::string& file, const PartIdentity& identity,
               const std::string& validator) {
  if (validatorOf(Answer{validator, std::string(), std::string()}).empty()) return false;
  // The record comes first, naming an empty part; the bytes then move in
  // whole, so a crash between the two leaves a part shorter than it could
  // be, never one of other bytes.
  return beginPart(identity, validator) && replaceGameFile(file, kPartialFile);
}

void transferPart(CURL* handle, const DownloadSession& session, const std::string& url,
                  const FetchRequest& request, FetchResult* result) {
  const PartIdentity& identity = request.part;
  result->file = kPartialFile;
  result->keptBefore = keptBytesOf(identity);
  KeptPart kept;
  bool continuing = findKeptPart(&kept) && kept.identity == identity && kept.bytes > 0 &&
                    !kept.validator.empty() && kept.bytes <= request.limit;
  const std::int64_t listed = request.listedSize;
  for (int attempt = 0; attempt < 2; ++attempt) {
    Sha256 hash;
    PartTransfer part{&identity, nullptr};
    DownloadSink sink;
    sink.fileName = kPartialFile;
    sink.limit = request.limit;
    sink.progress.listedSize = listed;
    sink.hash = request.hash ? &hash : nullptr;
    sink.openBody = openPart;
    sink.owner = &part;
    sink.proxy = &session.proxy;
    if (continuing) {
      part.kept = &kept;
      sink.stored = kept.bytes;
      if (sink.hash && !hashKeptPart(sink.hash)) {
        discardPart();
        continuing = false;
        continue;
      }
      // A part that is already whole (a run killed before inflating it) needs
      // no transfer; the run checks it like any download.
      if (kept.bytes == listed) {
        if (sink.hash) result->sha256 = hash.finish();
        result->outcome = DownloadOutcome::complete;
        result->keptAfter = kept.bytes;
        return;
      }
    }
    RangeRequest range{kept.bytes, -1, kept.validator};
    TransferDone done = performTransfer(handle, url, sink, continuing ? &range : nullptr);
    if (done.complete && !sink.file && !sink.writeFailed) {
      // An empty body never reached the write callback.
      if (openPart(sink)) {
        sink.owned.reset();
        sink.file = nullptr;
      }
    }
    bool refused =
        continuing && (done.result == CURLE_RANGE_ERROR || done.status == 416 || sink.mismatch);
    if (refused) {
      // The server would not continue this part (it changed, or ignores
      // ranges): it goes, and the file is fetched whole.
      sink.owned.reset();
      discardPart();
      continuing = false;
      continue;
    }
    finishTransfer(sink, done, hash, result);
    // More than the listed size is no part of the listed file; and a part the
    // disk refused would hold the space the log needs.
    if (sink.overLimit || sink.writeFailed) discardPart();
    result->keptAfter = keptBytesOf(identity);
    return;
  }
  result->outcome = DownloadOutcome::failed;
}

bool worthRetrying(const FetchRequest& request, const FetchResult& result, int retry) {
  return request.retryCuts && result.outcome == DownloadOutcome::failed && result.cut &&
         !gStopRequested && retry < kCutTransferRetries &&
         result.keptAfter - result.keptBefore >= kRetryMinimumProgress;
}

void pauseBeforeRetry(int retry) {
  for (long waited = 0; waited < (1000L << retry) && !gStopRequested; ++waited) {
    sleepOneMillisecond();
  }
}

PartSweep startPartSweep() {
  PartSweep sweep;
  sweep.hasPart = findKeptPart(&sweep.kept);
  if (!sweep.hasPart) discardPart();
  return sweep;
}

void notePartListed(PartSweep& sweep, const PartIdentity& identity) {
  if (sweep.hasPart && sweep.kept.identity == identity) sweep.listed = true;
}

void finishPartSweep(const PartSweep& sweep) {
  KeptPart now;
  if (sweep.hasPart && !sweep.listed && findKeptPart(&now) && now.identity == sweep.kept.identity) {
    discardPart();
  }
}
