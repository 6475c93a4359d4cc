#include <ctime>
#include <set>

#include <map>

#include "base/names.h"
#include "bundles.h"
#include "hash/crc32.h"
#include "hash/sha256.h"
#include "pack_platform.h"
#include "publish_steps.h"
#include "update/bundle_index.h"
#include "update/manifest.h"
#include "update/patch_index.h"

namespace fs = std::filesystem;

namespace {

bool present(const fs::path& path) {
  return fs::exists(statusOf(path));
}

// Whether the served signature file is `key`'s, for a manifest with hash
// `manifest`: then a publish that changes nothing leaves it alone.
bool signatureStands(const fs::path& out, const SecretKey& key, const Sha256Digest& manifest,
                     const Sha256Digest* patches, const Sha256Digest* bundles) {
  SignatureFile file;
  fs::path path = out / kSignatureName;
  if (!present(path)) return false;
  std::string text = readWholeFile(path, kMaxSignatureFileSize + 1);
  return parseSignatureFile(text, &file).ok() && file.manifest == manifest &&
         file.hasPatchIndex == (patches != nullptr) && (!patches || file.patchIndex == *patches) &&
         file.hasBundleIndex == (bundles != nullptr) &&
         (!bundles || file.bundleIndex == *bundles) &&
         verifySignatureFile(file, {key.publicKey()}).ok();
}

// Writes `text` into the scratch folder as `source` and plans its move to
// `target`.
void planText(const fs::path& scratch, const std::string& source, const std::string& target,
              const std::string& text, Journal& journal) {
  writeWholeFile(scratch / source, text);
  JournalPut put;
  put.source = source;
  put.target = target;
  put.size = text.size();
  put.crc = crc32Update(0, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  journal.puts.push_back(put);
}

// Plans `text` as the served `name`, or its delete when it is empty: nothing
// moves where the folder serves it already.
void planIndex(const fs::path& out, const fs::path& scratch, const char* name,
               const std::string& text, std::uint64_t limit, Journal& journal) {
  fs::path path = out / name;
  bool served = fs::is_regular_file(statusOf(path));
  if (!text.empty() && (!served || readWholeFile(path, limit) != text)) {
    planText(scratch, name, name, text, journal);
  } else if (text.empty() && served) {
    journal.deletes.push_back(name);
  }
}

// The small packed files, as bundles take them: in manifest order, each
// where it is now (a new one still in the scratch folder).
std::vector<BundleFile> bundleFiles(const fs::path& out, const fs::path& scratch,
                                    const std::vector<Candidate>& files,
                                    const PackedRelease& packed, const Journal& journal) {
  std::map<std::string, std::string> fresh;
  for (const JournalPut& put : journal.puts) fresh[put.target] = put.source;
  std::vector<BundleFile> bundled;
  for (const Candidate& file : files) {
    auto record = packed.records.find(file.name);
    if (record == packed.records.end()) continue;
    auto source = fresh.find(file.name);
    bundled.push_back({file.name,
                       source != fresh.end() ? scratch / source->second : out / file.relative,
                       &record->second});
  }
  return bundled;
}

}  // namespace

void planServedFiles(const fs::path& out, const fs::path& scratch,
                     const std::vector<Candidate>& files, const Previous& previous,
                     const PackedRelease& packed, const SecretKey* key, DeltaRun& patches,
                     Journal& journal, PublishResult& result) {
  // The files beside the packed ones, in the order they move: the records
  // first, then companions of update.dat (such as its signature), then
  // update.dat itself, last, as the commit point.
  std::string recordsText = formatRecords(packed.records);
  if (!previous.recordsExist || recordsText != previous.recordsText) {
    planText(scratch, kRecordsName, std::string(kServerFolder) + "/" + kRecordsName, recordsText,
             journal);
  }
  const std::string& manifest = packed.manifest;
  result.manifestChanged = !previous.manifestExists || manifest != previous.manifest;
  const Sha256Digest manifestSha = sha256Of(manifest);
  // The bundles and the patch index, then the signature that covers them,
  // go just before update.dat. Only signed updaters use either.
  std::string bundles;
  if (key)
    bundles = planBundles(out, scratch, bundleFiles(out, scratch, files, packed, journal), journal);
  planIndex(out, scratch, kBundleIndexName, bundles,
            static_cast<std::uint64_t>(kMaxBundleIndexSize), journal);
  std::string index = finishPatches(patches);
  planIndex(out, scratch, kPatchIndexName, index, static_cast<std::uint64_t>(kMaxPatchIndexSize),
            journal);
  result.patchesMade = patches.made;
  result.patchesServed = patches.index.size();
  const Sha256Digest indexSha = sha256Of(index);
  const Sha256Digest* indexSigned = index.empty() ? nullptr : &indexSha;
  const Sha256Digest bundlesSha = sha256Of(bundles);
  const Sha256Digest* bundlesSigned = bundles.empty() ? nullptr : &bundlesSha;
  if (key && (result.manifestChanged ||
              !signatureStands(out, *key, manifestSha, indexSigned, bundlesSigned))) {
    // The serial only grows, also when the clock went back.
    result.serial = nextSerial(servedSerial(out / kSignatureName),
                               static_cast<std::int64_t>(std::time(nullptr)));
    planText(scratch, kSignatureName, kSignatureName,
             signatureFor(*key, result.serial, manifestSha, indexSigned, bundlesSigned), journal);
  } else if (!key && result.manifestChanged && present(out / kSignatureName)) {
    // A signature of another manifest would only make signed updaters
    // refuse this one.
    journal.deletes.push_back(kSignatureName);
  }
  if (key) result.keyId = key->publicKey().id();
  if (result.manifestChanged) planText(scratch, kManifestName, kManifestName, manifest, journal);

  std::set<std::string> listed;
  for (const Candidate& file : files) listed.insert(fileSystemKey(file.name));
  for (const std::string& name : previous.names) {
    if (listed.insert(fileSystemKey(name)).second &&
        fs::is_regular_file(statusOf(out / manifestNamePath(name)))) {
      journal.deletes.push_back(name);
    }
  }
}
