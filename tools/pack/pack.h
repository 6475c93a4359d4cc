#pragma once

// brightwick-pack: turns a game release folder into the folder the updater
// downloads from (update.dat plus one zlib stream per file), and checks such
// a folder. The command line lives in main.cpp; everything it does is here,
// so that tests drive the same code.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "update/signature.h"

// Exit codes of brightwick-pack.
inline constexpr int kExitSuccess = 0;
// publish refused or failed (the output folder is as it was); verify found
// problems.
inline constexpr int kExitFailure = 1;
// The command line could not be understood.
inline constexpr int kExitUsage = 2;

inline constexpr int kDefaultLevel = 9;

// Where a long run stands, for a progress display.
struct PackProgress {
  std::size_t filesDone = 0;
  std::size_t filesTotal = 0;
  // Bytes read so far: publish reads a file once to compress it, or, where
  // its packed file may be reused, once for its CRC and the packed file once;
  // verify counts packed bytes.
  std::uint64_t bytesDone = 0;
  std::string current;  // manifest name of the file in hand
};
// Called often (every few KiB); a display should throttle itself. It may
// throw to cancel the run, which then ends as a failed one (publish rolls
// back; verify lets the exception through after removing its scratch file).
using ProgressFn = std::function<void(const PackProgress&)>;

struct PublishOptions {
  int level = kDefaultLevel;          // zlib level, 0 to 9
  std::vector<std::string> excludes;  // globs, as globMatches reads them
  bool force = false;                 // compress every file, reuse none
  // The secret key file to sign with (signing.h); empty: an unsigned
  // publish, as ever.
  std::filesystem::path signingKey;
  // Patches from this many earlier versions of each changed file (deltas.h);
  // -1: kDefaultDeltas for a signed publish. Only signed updaters use
  // patches, so an unsigned publish makes none.
  int deltas = -1;
  ProgressFn progress;  // may be empty
};

struct PublishResult {
  bool ok = false;
  // What an earlier run that was killed had left and this one put right
  // before anything else (it stays done when this run then fails).
  std::vector<std::string> repairs;
  // Why nothing was published; each names the file or folder at fault.
  std::vector<std::string> errors;
  // Things left out or not cleaned up; none stops the run.
  std::vector<std::string> warnings;
  // Manifest names, in manifest order: compressed by this run, kept from the
  // previous one because the release file and the packed file still match
  // the record kept of them, left out by a glob, and packed files deleted
  // because the release no longer has them.
  std::vector<std::string> packed;
  std::vector<std::string> reused;
  std::vector<std::string> excluded;
  std::vector<std::string> removed;
  std::size_t listed = 0;             // lines in the new update.dat
  bool manifestChanged = false;       // update.dat was (re)written
  std::uint64_t bytesCompressed = 0;  // release bytes fed to the engine
  // Patches made by this run (kept ones not counted), and patches served.
  int patchesMade = 0;
  std::size_t patchesServed = 0;
  // A signed publish: the key's id and the serial of update.dat.sig.
  std::string keyId;
  std::uint64_t serial = 0;
};

// Publishes `releaseDir` into `outDir`: one packed file per release file
// under the same relative name, then update.dat. A file is not compressed
// again when it and its packed file still match the record the publisher
// keeps of each packed file (update.d/records: sizes and CRCs of the packed
// file and of what went into it).
//
// Safe while the folder is being served: new packed files are built under
// scratch names in `outDir` and moved into place atomically, update.dat is
// replaced last, and packed files the release no longer has are deleted only
// after that. If anything is refused or fails, `outDir` is left exactly as
// it was (created folders and scratch files included) and `errors` says why.
//
// Safe against other runs and kills: the run holds a lock in
// `outDir`/update.d for its whole length (a second run is refused at once),
// keeps a journal there while it moves files into place, holds off HUP, INT
// and TERM meanwhile, and first puts right whatever a killed run left
// (`repairs`). The two folders must lie apart, also through links and
// mounts. Symbolic links and other non-regular files are skipped with a
// warning. Memory use does not depend on file sizes.
PublishResult publish(const std::filesystem::path& releaseDir, const std::filesystem::path& outDir,
                      const PublishOptions& options);

struct VerifyResult {
  std::vector<std::string> problems;  // one line each, naming the file
  std::uint64_t serial = 0;           // of the signature checked, if any
  std::size_t patchesChecked = 0;     // applied to their bases, each giving its file
  std::vector<std::string> repairs;   // as for publish
  std::size_t checked = 0;            // manifest entries looked at
  bool ok() const { return problems.empty(); }
};

// Checks `outDir` as the updater will see it: update.dat parses and is not
// too large, names are safe and unique, and every packed file has its listed
// size and inflates (bounded by the listed size) to a file of the listed size
// and CRC. Inflates into a scratch file in the system's temporary folder.
// The one change it makes to `outDir` is the repair of a publish that was
// killed, under the publisher's lock, as publish would make it first; it
// reports a problem instead while another run holds the lock. With `key`, it
// also checks update.dat.sig against the key and the served update.dat, and
// every packed file's SHA-256 against its line. With `release`, it also
// compares what each packed file inflates to with the release folder's file
// of that name, for a served folder the studio does not fully trust. It
// reads nothing through a link in `outDir` (output_folder.h).
VerifyResult verify(const std::filesystem::path& outDir, const ProgressFn& progress = {},
                    const PublicKey* key = nullptr, const std::filesystem::path& release = {});

// "name,packedSize,unpackedSize,checksum" as the updater reads it: decimal,
// the CRC as the signed 32-bit number it compares with. No line end.
std::string formatManifestLine(const std::string& name, std::int32_t packedSize,
                               std::int32_t unpackedSize, std::uint32_t crc);

// Why the updater could not carry `name` (a manifest name, "/" between
// folders) to every player intact; empty if it can.
std::string nameProblem(const std::string& name);

// Whether `name` (a path relative to the release folder, "/" between
// folders) is left out by `pattern`. A pattern without "/" matches the last
// component at any depth ("*.log"); one with "/" matches the whole path from
// the top ("saves/*.sav", "/update.dat"; a leading "/" is dropped). "*" and
// "?" do not cross "/", "**" does, "[abc]", "[a-z]" and "[!abc]" match one
// byte.
bool globMatches(const std::string& pattern, const std::string& name);

// The files every publish leaves out: the logs and the names the updater
// and the publisher keep for themselves, which live in the game folder or
// beside update.dat but are no part of a release. The updater's own program
// is a file of the release like any other.
const std::vector<std::string>& builtinExcludes();
