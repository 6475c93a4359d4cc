#pragma once

// The steps of a publish, which publish.cpp runs in order: plan (what the
// release holds, what the output folder held, and that the two lie apart),
// pack (each release file, or the proof that its packed file stands), sign
// (the files served beside the packed ones), and commit (commit.h). Internal
// to brightwick-pack.

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "deltas.h"
#include "journal.h"
#include "output_folder.h"
#include "output_lock.h"
#include "pack.h"
#include "pack_support.h"
#include "record_proof.h"
#include "reuse_record.h"
#include "signing.h"

// A release file that will get a manifest line.
struct Candidate {
  std::string name;                // manifest name
  std::filesystem::path relative;  // below the release folder (and the output folder)
  std::filesystem::path source;
};

// What the output folder held before this run.
struct Previous {
  bool manifestExists = false;
  std::string manifest;  // kept to tell whether the new one differs
  bool recordsExist = false;
  std::string recordsText;
  PackedRecords records;
  // Names whose packed files may be there: those of the old manifest and of
  // the records. Those the release no longer has are deleted.
  std::set<std::string> names;
  // The served update.patches, if any.
  bool indexExists = false;
  std::string indexText;
  // The served update.dat.sig when it verifies with the publish's key; then
  // whether the served update.dat and update.patches are the ones it signs.
  bool signatureVerified = false;
  SignatureFile signature;
  bool signatureCoversServed = false;
};

// A signed publish's keys and the floor of its serial; empty for an
// unsigned one.
struct Signing {
  std::unique_ptr<SecretKey> key;
  std::unique_ptr<RecordKey> records;
  std::uint64_t keptSerial = 0;  // from the key's state file
  bool force = false;            // a serial far ahead of the clock is allowed
  bool on() const { return key != nullptr; }
};

// What a run holds and has changed in the output folder before its commit.
struct Run {
  std::filesystem::path out;
  std::vector<std::filesystem::path> createdDirs;  // the output folder and its parents, if made now
  std::unique_ptr<OutputFolder> folder;            // once it exists
  bool serverCreated = false;                      // update.d made now
  OutputLock lock;
  bool lockCreated = false;
  std::string scratchName;  // empty until created
  bool committed = false;
};

// What the pack step made of the release: the new manifest's text and the
// records of its packed files. New packed files wait in the scratch folder,
// planned in the journal.
struct PackedRelease {
  std::string manifest;
  PackedRecords records;
};

// --- plan (publish_plan.cpp)

// The release's files into `files`, sorted by name, with every refusal in
// `result.errors`. False, with that error alone, if the release and output
// folders do not lie apart (one inside the other, also through a link or a
// mount).
bool planRelease(const std::filesystem::path& release, const std::filesystem::path& out,
                 const PublishOptions& options, std::vector<Candidate>* files,
                 PublishResult& result);
// What the output folder held before this run; with `key`, whether its
// signature is the key's own.
Previous readPrevious(const OutputFolder& out, const SecretKey* key, PublishResult& result);
// Refuses output folders whose shape the new packed files cannot take
// without deleting something first: a folder where a file goes, a file where
// a folder goes, or a link on the way.
void checkOutputShape(const OutputFolder& out, const std::vector<Candidate>& files,
                      PublishResult& result);

// --- the run's hold on the output folder (publish_run.cpp)

// Takes the output folder's lock, making the folders it lives in; false,
// with the reason in `result.errors`, if another run holds it or update.d is
// no folder of its own.
bool takeLock(Run& run, PublishResult& result);
// Makes the run's scratch folder in the output folder.
void createScratch(Run& run);
// Puts the output folder back as it was for a run that did not commit.
void abandon(Run& run, PublishResult& result);

// --- pack (publish_pack.cpp)

// Packs every release file into the scratch folder, or reuses its packed
// file where the record proves it stands (record_proof.h), planning each new
// packed file in `journal` and the delta patches in `patches`.
PackedRelease packRelease(const std::vector<Candidate>& files, const Previous& previous,
                          const PublishOptions& options, const Signing& signing,
                          const OutputFolder& out, const std::string& scratch, Journal& journal,
                          DeltaRun& patches, PublishResult& result);

// --- sign (publish_sign.cpp)

// Plans the files served beside the packed ones, in the order they move:
// the records, the patch index, the signature (signed publishes: its serial
// by serials.h), and update.dat last, as the commit point; and the deletes of
// what is no longer served.
void planServedFiles(const OutputFolder& out, const std::string& scratch,
                     const std::vector<Candidate>& files, const Previous& previous,
                     const PackedRelease& packed, const Signing& signing, DeltaRun& patches,
                     Journal& journal, PublishResult& result);
