#pragma once

// What the run asks of one transfer and what it gets back (fetch.h). On a
// header of its own so that every part of the download layer can take them
// without depending on how a transfer is carried out.

#include <cstdint>
#include <string>

#include "hash/sha256.h"

enum class DownloadOutcome {
  notWritten,  // no transfer: no thread, or the file could not be created
  failed,      // no complete 2xx answer; nothing of it is trusted
  complete,    // the whole body is in the request's file
};

enum class FetchFault {
  none,
  noThread,    // no download worker could be started
  unexpected,  // an exception ended the worker
};

// What a listed file's transfer is a part of (resume.h): a part is only ever
// continued for the same published file.
struct PartIdentity {
  std::string name;
  std::string packedSize;  // as the manifest line writes it
  std::string sha256;      // "" for an unsigned manifest
  bool operator==(const PartIdentity& other) const {
    return name == other.name && packedSize == other.packedSize && sha256 == other.sha256;
  }
};

struct FetchRequest {
  // Below kUpdateBaseUrl, as it goes into the URL (urlPathOf for a listed
  // name).
  std::string urlPath;
  // The name the dialog shows while the bytes arrive.
  std::string shownName;
  // Where a plain transfer lands, made anew (a part transfer keeps its
  // bytes in kPartialFile instead).
  std::string target;
  // Most bytes stored, so that a server cannot fill the disk.
  std::int64_t limit = 0;
  // Whether to take the SHA-256 of what is stored, as it arrives.
  bool hash = false;
  // A listed file's transfer, kept as a part a later transfer continues;
  // an empty name: a plain transfer into `target`.
  PartIdentity part;
  // The listed packed size of a part transfer's file, as the number the
  // manifest's text reads as.
  std::int64_t listedSize = -1;
  // Whether a cut part transfer that was getting on is tried again at once
  // (a run without a window, which nobody would start again).
  bool retryCuts = false;
};

struct FetchResult {
  DownloadOutcome outcome = DownloadOutcome::notWritten;
  // Where the complete body is.
  std::string file;
  // Why the transfer failed, for the log ("HTTP status 404", libcurl's
  // words); empty when it did not fail or the player stopped it.
  std::string error;
  // A fault of the updater itself rather than of the transfer, for the run
  // to log.
  FetchFault fault = FetchFault::none;
  // Whether it failed by a cut after it began (the connection broke, stalled
  // or dripped), which a later try may get past.
  bool cut = false;
  // Of what is stored, when the request asked for it.
  Sha256Digest sha256{};
  // A part transfer: the bytes a later transfer could continue, before and
  // after this one.
  std::int64_t keptBefore = 0;
  std::int64_t keptAfter = 0;
};
