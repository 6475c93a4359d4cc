#pragma once

// Resumed transfers, all of it: the record of a kept part, the range rules
// by which a transfer continues it, the retry policy of a run without a
// window, and the discarding of parts no manifest lists any more.
//
// A listed file's transfer keeps what arrives in kPartialFile, beside a
// record (kPartialRecord) of what it is a part of: the file's name, its
// listed packed size, its SHA-256 when the manifest is signed, and the
// validator the server gave (ETag, or else Last-Modified). A transfer that
// is cut, by the network, the bounds, the player or a kill, leaves both
// behind, and a later transfer of the same published content continues it
// with a range request; anything else starts afresh. One part is kept at a
// time.
//
// The record, text with LF line ends:
//
//   brightwick-partial 1
//   name data/maps.pak
//   size 73400320
//   sha256 5f2b...       (64 hex digits; only for a signed manifest)
//   validator "5d8c72a5-4600000"
//
// It is written before the first byte of its part, so a part always belongs
// to its record.

#include <curl/curl.h>

#include <cstdint>
#include <string>

#include "download/request.h"
#include "download/session.h"

struct KeptPart {
  PartIdentity identity;
  std::string validator;
  std::int64_t bytes = 0;  // in kPartialFile
};

// The kept part, if its record reads and its data is a regular file.
bool findKeptPart(KeptPart* part);

// Replaces whatever part is kept with a new, empty one of `identity`.
bool beginPart(const PartIdentity& identity, const std::string& validator);

// Removes the kept part and its record.
void discardPart();
// Removes the kept part if it is a part of `identity`.
void discardPartOf(const PartIdentity& identity);

// Makes the scratch file `file`, the start of `identity`'s file as the server
// named it with `validator`, the kept part, in place of any other. False if
// it cannot be kept (then `file` is left as it was).
bool adoptPart(const std::string& file, const PartIdentity& identity, const std::string& validator);

// The transfer of `request.part` into kPartialFile on `handle`, continuing
// the kept part of the same published file where the server lets it (a 206
// answer with the matching Content-Range for the same entity); anything else
// fetches the whole file. A part that is already whole needs no transfer.
// Fills `result` as a fetch does.
void transferPart(CURL* handle, const DownloadSession& session, const std::string& url,
                  const FetchRequest& request, FetchResult* result);

// A transfer's progress is worth another try only if it brought at least
// this much; a drip of a few bytes is not.
inline constexpr std::int64_t kRetryMinimumProgress = 64 * 1024;
// How often a run without a window tries a cut transfer again.
inline constexpr int kCutTransferRetries = 3;

// Whether the part transfer that gave `result` is worth trying again at
// once, after `retry` earlier retries: it was cut after bringing a fair
// amount that the next try can continue, and the request asks for it.
bool worthRetrying(const FetchRequest& request, const FetchResult& result, int retry);
// Waits before retry number `retry` (1 s, 2 s, 4 s), cut short by a stop.
void pauseBeforeRetry(int retry);

// The kept part a run found at its start, while it reads the manifest: a
// part of a file the manifest no longer lists as it was is of no use to any
// later run, and is discarded once the whole manifest has been read.
struct PartSweep {
  bool hasPart = false;
  bool listed = false;
  KeptPart kept;
};
// Looks at the kept part; a record without its data, or data without its
// record, is no part and goes at once.
PartSweep startPartSweep();
// The manifest lists `identity`.
void notePartListed(PartSweep& sweep, const PartIdentity& identity);
// After the whole manifest was read: discards the part found at the start
// if nothing listed it (a part this run cut belongs to a listed file).
void finishPartSweep(const PartSweep& sweep);
