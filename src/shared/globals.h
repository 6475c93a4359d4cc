#pragma once

// The process-wide state through which the update worker, the download worker
// and the shell hand work on to one another. They never share it at the same
// time: whoever sets a value does so before starting or after waiting for the
// thread that reads it.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/zlib_engine.h"
#include "platform/platform.h"
#include "download/resume.h"
#include "shared/names.h"
#include "update/sha256.h"
#include "update/signature.h"

// The progress dialog, set by the shell when the dialog initialises.
extern DialogHandle gDialog;
// The file in hand: the manifest's line buffer while it is read, then the
// name of the entry being checked or installed.
extern std::string gCurrentFile;
// The URL the download worker fetches.
extern std::string gDownloadUrl;
// False while a download worker runs; set true by it as its last act.
extern std::atomic<bool> gDownloadDone;
// The engine that inflates every downloaded file.
extern ZlibEngine gEngine;

// How the last transfer ended; written by the download worker before it sets
// gDownloadDone.
enum class DownloadOutcome {
  notWritten,  // the worker could not start or could not create its file
  failed,      // no complete 2xx answer; the worker removed what it wrote
  complete,    // the whole body is in kDownloadScratchFile
};
extern std::atomic<DownloadOutcome> gDownloadOutcome;
// Why the last transfer failed, for the log ("HTTP status 404", libcurl's
// words); empty when it did not fail or the player stopped it. Written by
// the download worker before it sets gDownloadDone.
extern std::string gDownloadError;
// Whether the last transfer failed by a cut after it began (the connection
// broke, stalled or dripped), which a later try may get past; written with
// gDownloadError.
extern bool gDownloadCut;
// Most bytes the download worker may store for the transfer in hand, so that a
// server cannot fill the disk; set before the worker starts.
extern std::int64_t gDownloadLimit;
// For a listed file: what its transfer is a part of. The worker then keeps
// what arrives in kPartialFile and continues a part kept for the same
// identity (download/resume.h). An empty name: a plain transfer into
// kDownloadScratchFile. Set before the worker starts.
extern PartIdentity gDownloadPart;
// The bytes of a continued part that were there before the transfer, for the
// progress report; the worker's own.
extern std::int64_t gDownloadOffset;
// Whether the run has no window (the terminal line): nobody is there to start
// it again, so a cut transfer that was getting on is tried again a few times.
extern std::atomic<bool> gHeadless;
// Whether the download worker takes the SHA-256 of what it stores, into
// gDownloadSha256 (written before gDownloadDone); set before it starts.
extern bool gDownloadHashing;
extern Sha256Digest gDownloadSha256;
// The keys whose signature the run requires, installed by the shell from the
// keys built into the program. Empty: the run trusts update.dat as it always
// has.
extern std::vector<PublicKey> gPublicKeys;
// Set by the shell once the dialog has ended: the run finishes the file in
// hand (abandoning a transfer still under way) and starts no other.
extern std::atomic<bool> gStopRequested;
// Set by the update worker as its last act.
extern std::atomic<bool> gUpdateFinished;

// Shows `text` in the dialog's status line.
void setStatusText(std::string text);
