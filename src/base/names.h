#pragma once

// Files the updater itself keeps in the game folder.
inline constexpr char kManifestName[] = "update.dat";
// Where an inflated file is built before it replaces the local one.
inline constexpr char kScratchFile[] = "temp";
// Where a transfer lands before it is trusted.
inline constexpr char kDownloadScratchFile[] = "temp.download";
// Held locked for the whole of a run, so that two updaters started together
// in one folder never share their scratch files.
inline constexpr char kLockFile[] = "update.lock";
// The highest signature serial this folder accepted.
inline constexpr char kStateFile[] = "update.state";
// A cut transfer kept for the next run to continue, and what it is a part of.
inline constexpr char kPartialFile[] = "temp.partial";
inline constexpr char kPartialRecord[] = "temp.partial.info";
// The updater's own program file, set aside while a new version takes its
// name (a running program's file cannot be overwritten); the next run
// deletes it.
inline constexpr char kUpdaterAsideFile[] = "temp.updater-old";

// Where transfers fetched ahead of the installation land: this, then a slot
// number. Every top-level name of that shape is reserved.
inline constexpr char kAheadScratchPrefix[] = "temp.ahead.";

// Files the publisher keeps beside update.dat on the server.
inline constexpr char kSignatureName[] = "update.dat.sig";
inline constexpr char kPatchIndexName[] = "update.patches";
inline constexpr char kBundleIndexName[] = "update.bundles";
// The publisher's own folder: patches, earlier versions, its records.
inline constexpr char kServerFolder[] = "update.d";

// Top-level names that no manifest entry may reach and no publish may list,
// in any spelling of their case: the updater's files in the game folder and
// the publisher's beside update.dat. Anything below kServerFolder is
// reserved too.
inline constexpr const char* kReservedNames[] = {
    kManifestName,  kScratchFile,    kDownloadScratchFile, kLockFile,
    kStateFile,     kPartialFile,    kPartialRecord,       kUpdaterAsideFile,
    kSignatureName, kPatchIndexName, kBundleIndexName,     kServerFolder,
};
