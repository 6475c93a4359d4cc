#include "update/signed_manifest.h"

#include <fstream>
#include <sstream>

#include "base/names.h"
#include "download/fetch.h"
#include "download/progress.h"
#include "log/dated_log.h"
#include "log/printable.h"
#include "platform/dialog.h"
#include "platform/game_folder.h"
#include "shared/globals.h"
#include "update/install.h"
#include "update/update_state.h"

namespace {

bool refuse(const std::string& message) {
  writeLog(message);
  setStatusText(message);
  return false;
}

bool refuseSignature(const std::string& why) {
  return refuse("Invalid Signature (" + printableForLog(why) + "):  Error updating " +
                kManifestName);
}

FetchRequest requestFor(const char* name, std::int64_t limit, bool hash) {
  FetchRequest request;
  request.urlPath = name;
  request.shownName = name;
  request.target = kDownloadScratchFile;
  request.limit = limit;
  request.hash = hash;
  return request;
}

// Fetches `name` into the download scratch file; on failure logs why and
// returns false.
bool fetchOrRefuse(const RunContext& run, const char* name, std::int64_t limit, bool hash,
                   FetchResult* fetched) {
  *fetched = fetchLogged(run, requestFor(name, limit, hash));
  if (fetched->outcome == DownloadOutcome::complete) return true;
  removeFile(kDownloadScratchFile);
  // A transfer the player stopped says nothing; one whose scratch file could
  // not be made has had its message box, and gets its line too.
  std::string why = transferFailure(*fetched, name);
  if (why.empty() && !gStopRequested) why = std::string("Unable to open ") + name;
  if (!why.empty()) refuse(why);
  return false;
}

}  // namespace

FetchRequest patchIndexRequest() {
  return requestFor(kPatchIndexName, kMaxPatchIndexSize, true);
}

FetchRequest bundleIndexRequest() {
  return requestFor(kBundleIndexName, kMaxBundleIndexSize, true);
}

bool takePatchIndex(const FetchResult& fetched, const SignatureFile& accepted, PatchIndex* index) {
  const bool complete = fetched.outcome == DownloadOutcome::complete;
  bool read = false;
  if (complete && fetched.sha256 == accepted.patchIndex) {
    std::ifstream in(fetched.file, std::ios::binary);
    read = in.is_open() && readPatchIndex(in, index);
  }
  if (!read) {
    index->clear();
    std::string why = complete ? "it does not match its signature" : printableForLog(fetched.error);
    // A transfer the player stopped says nothing.
    if (!gStopRequested) {
      writeLog("Invalid Patch Index (" + why + "):  Error updating " + kPatchIndexName);
    }
  }
  return read;
}

bool takeBundleIndex(const FetchResult& fetched, const SignatureFile& accepted,
                     BundleIndex* index) {
  bool read = false;
  if (fetched.outcome == DownloadOutcome::complete && fetched.sha256 == accepted.bundleIndex) {
    std::ifstream in(fetched.file, std::ios::binary);
    read = in.is_open() && readBundleIndex(in, index).ok();
  }
  if (!read) index->clear();
  return read;
}

bool fetchPatchIndex(const RunContext& run, const SignatureFile& accepted, PatchIndex* index) {
  if (!accepted.hasPatchIndex) return false;
  bool read = takePatchIndex(fetchLogged(run, patchIndexRequest()), accepted, index);
  removeFile(kDownloadScratchFile);
  return read;
}

bool fetchBundleIndex(const RunContext& run, const SignatureFile& accepted, BundleIndex* index) {
  if (!accepted.hasBundleIndex) return false;
  bool read = takeBundleIndex(fetchLogged(run, bundleIndexRequest()), accepted, index);
  removeFile(kDownloadScratchFile);
  return read;
}

bool everyLineIsHashed(UpdateManifest& manifest, std::string* bad) {
  std::string line;
  ManifestFields fields;
  while (readManifestLine(manifest, line)) {
    LineKind kind = parseManifestLine(line, fields);
    if (kind == LineKind::empty) continue;
    if (kind == LineKind::malformed || !isHashField(hashFieldOf(line))) {
      *bad = line;
      return false;
    }
  }
  return true;
}

bool fetchSignedManifest(const RunContext& run, SignatureFile* accepted) {
  if (!initCrypto()) return refuseSignature("no cryptography on this system");
  // Twice at most: a publish between the two transfers pairs an old file
  // with a new one, and both are then fetched again.
  for (int attempt = 0;; ++attempt) {
    FetchResult fetched;
    if (!fetchOrRefuse(run, kSignatureName, kMaxSignatureFileSize, false, &fetched)) return false;
    std::string text;
    bool read = readSmallFile(fetched.file, kMaxSignatureFileSize, &text);
    removeFile(kDownloadScratchFile);
    if (!read) return refuseSignature("the signature file cannot be read");
    SignatureFile signature;
    Status status = parseSignatureFile(text, &signature);
    if (status.ok()) status = verifySignatureFile(signature, run.options.publicKeys);
    if (!status.ok()) return refuseSignature(status.error);

    if (!fetchOrRefuse(run, kManifestName, kManifestBound, true, &fetched)) return false;
    if (fetched.sha256 != signature.manifest) {
      removeFile(kDownloadScratchFile);
      if (attempt == 0) continue;
      return refuseSignature("update.dat does not match its signature");
    }
    std::uint64_t before = acceptedSerial();
    if (signature.serial < before) {
      removeFile(kDownloadScratchFile);
      return refuseSignature("serial " + std::to_string(signature.serial) + " is older than the " +
                             std::to_string(before) + " this folder accepted");
    }
    std::string bad;
    bool hashed;
    {
      std::ifstream manifest(fetched.file, std::ios::binary);
      hashed = manifest.is_open() && everyLineIsHashed(manifest, &bad);
    }
    if (!hashed) {
      removeFile(kDownloadScratchFile);
      return refuseSignature("a line without the SHA-256 of its file: " + bad);
    }
    if (!replaceGameFile(fetched.file, kManifestName)) {
      removeFile(kDownloadScratchFile);
      messageBox(gDialog, cannotWriteMessage(kManifestName), "Updating Error");
      return refuse("Unable to open update.dat");
    }
    if (signature.serial > before) storeAcceptedSerial(signature.serial);
    *accepted = signature;
    return true;
  }
}
