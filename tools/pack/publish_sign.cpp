#include <algorithm>
#include <ctime>
#include <set>

#include <map>

#include "base/names.h"
#include "bundles.h"
#include "hash/crc32.h"
#include "hash/sha256.h"
#include "pack_platform.h"
#include "publish_steps.h"
#include "serials.h"
#include "update/manifest.h"
#include "update/bundle_index.h"
#include "update/patch_index.h"

namespace {

// Whether the served signature file is the key's own, for a manifest with
// hash `manifest`: then a publish that changes nothing leaves it alone.
bool signatureStands(const Previous& previous, const Sha256Digest& manifest,
                     const Sha256Digest* patches, const Sha256Digest* bundles) {
  const SignatureFile& file = previous.signature;
  return previous.signatureVerified && file.manifest == manifest &&
         file.hasPatchIndex == (patches != nullptr) && (!patches || file.patchIndex == *patches) &&
         file.hasBundleIndex == (bundles != nullptr) && (!bundles || file.bundleIndex == *bundles);
}

// Writes `text` into the scratch folder as `source` and plans its move to
// `target`.
void planText(const OutputFolder& out, const std::string& scratch, const std::string& source,
              const std::string& target, const std::string& text, Journal& journal) {
  writeServed(out, joinName(scratch, source), text);
  JournalPut put;
  put.source = source;
  put.target = target;
  put.size = text.size();
  put.crc = crc32Update(0, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  journal.puts.push_back(put);
}

// The small packed files, as bundles take them: in manifest order, each
// where it is now (a new one still in the scratch folder).
std::vector<BundleFile> bundleFiles(const std::string& scratch, const std::vector<Candidate>& files,
                                    const PackedRelease& packed, const Journal& journal) {
  std::map<std::string, std::string> fresh;
  for (const JournalPut& put : journal.puts) fresh[put.target] = put.source;
  std::vector<BundleFile> bundled;
  for (const Candidate& file : files) {
    auto record = packed.records.find(file.name);
    if (record == packed.records.end()) continue;
    auto source = fresh.find(file.name);
    bundled.push_back({file.name,
                       source != fresh.end() ? joinName(scratch, source->second) : file.name,
                       &record->second});
  }
  return bundled;
}

}  // namespace

void planServedFiles(const OutputFolder& out, const std::string& scratch,
                     const std::vector<Candidate>& files, const Previous& previous,
                     const PackedRelease& packed, const Signing& signing, DeltaRun& patches,
                     Journal& journal, PublishResult& result) {
  // The files beside the packed ones, in the order they move: the records
  // first, then companions of update.dat (such as its signature), then
  // update.dat itself, last, as the commit point.
  std::string recordsText = formatRecords(packed.records);
  if (!previous.recordsExist || recordsText != previous.recordsText) {
    planText(out, scratch, kRecordsName, std::string(kServerFolder) + "/" + kRecordsName,
             recordsText, journal);
  }
  const std::string& manifest = packed.manifest;
  result.manifestChanged = !previous.manifestExists || manifest != previous.manifest;
  const Sha256Digest manifestSha = sha256Of(manifest);
  // The bundles and the patch index, then the signature that covers them,
  // go just before update.dat. Only signed updaters use either.
  std::string bundles;
  if (signing.on()) {
    bundles = planBundles(out, scratch, bundleFiles(scratch, files, packed, journal), journal);
  }
  const bool bundlesServed = out.kind(kBundleIndexName) != EntryKind::missing;
  if (!bundles.empty() &&
      (!bundlesServed ||
       readServed(out, kBundleIndexName, static_cast<std::uint64_t>(kMaxBundleIndexSize) + 1) !=
           bundles)) {
    planText(out, scratch, kBundleIndexName, kBundleIndexName, bundles, journal);
  } else if (bundles.empty() && bundlesServed) {
    journal.deletes.push_back(kBundleIndexName);
  }
  std::string index = finishPatches(patches);
  if (!index.empty() && (!previous.indexExists || previous.indexText != index)) {
    planText(out, scratch, kPatchIndexName, kPatchIndexName, index, journal);
  } else if (index.empty() && out.kind(kPatchIndexName) != EntryKind::missing) {
    journal.deletes.push_back(kPatchIndexName);
  }
  result.patchesMade = patches.made;
  result.patchesServed = patches.index.size();
  const Sha256Digest indexSha = sha256Of(index);
  const Sha256Digest* indexSigned = index.empty() ? nullptr : &indexSha;
  const Sha256Digest bundlesSha = sha256Of(bundles);
  const Sha256Digest* bundlesSigned = bundles.empty() ? nullptr : &bundlesSha;
  const SecretKey* key = signing.key.get();
  if (key && (result.manifestChanged ||
              !signatureStands(previous, manifestSha, indexSigned, bundlesSigned))) {
    // The serial only grows, from the last one the studio signed: the served
    // signature counts only if it is the key's own.
    std::uint64_t floor = signing.keptSerial;
    if (previous.signatureVerified) floor = std::max(floor, previous.signature.serial);
    result.serial =
        chooseSerial(floor, static_cast<std::int64_t>(std::time(nullptr)), signing.force);
    planText(out, scratch, kSignatureName, kSignatureName,
             signatureFor(*key, result.serial, manifestSha, indexSigned, bundlesSigned), journal);
  } else if (!key && result.manifestChanged && out.kind(kSignatureName) != EntryKind::missing) {
    // A signature of another manifest would only make signed updaters
    // refuse this one.
    journal.deletes.push_back(kSignatureName);
  }
  if (key) result.keyId = key->publicKey().id();
  if (result.manifestChanged) {
    planText(out, scratch, kManifestName, kManifestName, manifest, journal);
  }

  std::set<std::string> listed;
  for (const Candidate& file : files) listed.insert(fileSystemKey(file.name));
  for (const std::string& name : previous.names) {
    if (listed.insert(fileSystemKey(name)).second && out.kind(name) == EntryKind::file) {
      journal.deletes.push_back(name);
    }
  }
}
