#include "update/signed_manifest.h"

#include <fstream>
#include <memory>
#include <sstream>

#include "download/download_worker.h"
#include "log/dated_log.h"
#include "platform/game_folder.h"
#include "shared/globals.h"
#include "update/install.h"
#include "update/manifest.h"
#include "update/update_run.h"

namespace {

constexpr char kStateFormatLine[] = "brightwick-state 1";

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool refuse(const std::string& message) {
  writeLog(message);
  setStatusText(message);
  return false;
}

bool refuseSignature(const std::string& why) {
  return refuse("Invalid Signature (" + printableForLog(why) + "):  Error updating " +
                kManifestName);
}

// Fetches gCurrentFile; on failure logs why and returns false.
bool fetchOrRefuse(const char* name, std::int64_t limit, bool hashing) {
  gCurrentFile = name;
  gDownloadLimit = limit;
  gDownloadHashing = hashing;
  DownloadOutcome outcome = fetch();
  gDownloadHashing = false;
  if (outcome == DownloadOutcome::complete) return true;
  removeFile(kDownloadScratchFile);
  // A transfer the player stopped says nothing; one whose scratch file could
  // not be made has had its message box, and gets its line too.
  std::string why = transferFailure(name);
  if (why.empty() && !gStopRequested) why = std::string("Unable to open ") + name;
  if (!why.empty()) refuse(why);
  return false;
}

}  // namespace

std::uint64_t acceptedSerial() {
  std::string text;
  if (!readSmallFile(kStateFile, 256, &text)) return 0;
  std::istringstream lines(text);
  std::string format, serial;
  if (!std::getline(lines, format) || format != kStateFormatLine) return 0;
  if (!std::getline(lines, serial) || serial.compare(0, 7, "serial ") != 0) return 0;
  std::string digits = serial.substr(7);
  if (digits.empty() || digits.size() > 19 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return 0;
  }
  return std::stoull(digits);
}

bool storeAcceptedSerial(std::uint64_t serial) {
  // Written beside and moved over the old record, so that a cut leaves one
  // whole record or the other.
  std::string text = std::string(kStateFormatLine) + "\nserial " + std::to_string(serial) + "\n";
  if (!removeFile(kScratchFile)) return false;
  {
    FilePtr out(createNewFile(kScratchFile));
    if (!out) return false;
    bool written = std::fwrite(text.data(), 1, text.size(), out.get()) == text.size();
    if (std::fclose(out.release()) != 0 || !written) {
      removeFile(kScratchFile);
      return false;
    }
  }
  bool replaced = replaceGameFile(kScratchFile, kStateFile);
  removeFile(kScratchFile);
  return replaced;
}

bool fetchPatchIndex(const SignatureFile& accepted, PatchIndex* index) {
  if (!accepted.hasPatchIndex) return false;
  gCurrentFile = kPatchIndexName;
  gDownloadLimit = kMaxPatchIndexSize;
  gDownloadHashing = true;
  DownloadOutcome outcome = fetch();
  gDownloadHashing = false;
  bool read = false;
  if (outcome == DownloadOutcome::complete && gDownloadSha256 == accepted.patchIndex) {
    std::ifstream in(kDownloadScratchFile, std::ios::binary);
    read = in.is_open() && readPatchIndex(in, index);
  }
  removeFile(kDownloadScratchFile);
  if (!read) {
    index->clear();
    std::string why = outcome == DownloadOutcome::complete ? "it does not match its signature"
                                                           : printableForLog(gDownloadError);
    writeLog("Invalid Patch Index (" + why + "):  Error updating " + kPatchIndexName);
  }
  return read;
}

bool everyLineIsHashed(std::istream& manifest, std::string* bad) {
  std::string line;
  std::vector<std::string> fields;
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

bool fetchSignedManifest(SignatureFile* accepted) {
  if (!initCrypto()) return refuseSignature("no cryptography on this system");
  // Twice at most: a publish between the two transfers pairs an old file
  // with a new one, and both are then fetched again.
  for (int attempt = 0;; ++attempt) {
    if (!fetchOrRefuse(kSignatureName, kMaxSignatureFileSize, false)) return false;
    std::string text;
    bool read = readSmallFile(kDownloadScratchFile, kMaxSignatureFileSize, &text);
    removeFile(kDownloadScratchFile);
    SignatureFile signature;
    std::string why;
    if (!read) return refuseSignature("the signature file cannot be read");
    if (!parseSignatureFile(text, &signature, &why) ||
        !verifySignatureFile(signature, gPublicKeys, &why)) {
      return refuseSignature(why);
    }

    if (!fetchOrRefuse(kManifestName, kManifestBound, true)) return false;
    if (gDownloadSha256 != signature.manifest) {
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
      std::ifstream manifest(kDownloadScratchFile, std::ios::binary);
      hashed = manifest.is_open() && everyLineIsHashed(manifest, &bad);
    }
    if (!hashed) {
      removeFile(kDownloadScratchFile);
      return refuseSignature("a line without the SHA-256 of its file: " + bad);
    }
    if (!replaceGameFile(kDownloadScratchFile, kManifestName)) {
      removeFile(kDownloadScratchFile);
      messageBox(cannotWriteMessage(kManifestName), "Updating Error");
      return refuse("Unable to open update.dat");
    }
    if (signature.serial > before) storeAcceptedSerial(signature.serial);
    *accepted = signature;
    return true;
  }
}
