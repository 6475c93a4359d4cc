#pragma once

// The manifest of an updater with keys built in: update.dat is accepted only
// with a signature file that one of the keys signed, whose hash matches it,
// whose serial is not lower than any this game folder accepted before
// (update_state.h), and only if every line names the SHA-256 of its packed
// file. Anything else installs nothing: unsigned data is never accepted.

#include <string>
#include <vector>

#include "download/request.h"
#include "hash/ed25519.h"
#include "update/bundle_index.h"
#include "update/manifest.h"
#include "update/patch_index.h"
#include "update/run_options.h"
#include "update/signature.h"

// Fetches update.dat.sig and update.dat (both once more if a publish came
// between the two), checks them against the run's keys and the accepted serial,
// and puts update.dat in place, remembering the serial. On any failure logs
// one line, shows it on the status line, leaves the old update.dat and
// returns false. `accepted` gets the signature file.
bool fetchSignedManifest(const RunContext& run, SignatureFile* accepted);

// Fetches the patch index the accepted signature file covers, if any, and
// reads it into `index`. An index that is missing, too large or does not
// match its signed hash is logged and left out: the run then installs whole
// files.
bool fetchPatchIndex(const RunContext& run, const SignatureFile& accepted, PatchIndex* index);

// Fetches the bundle index the accepted signature file covers, if any, and
// reads it into `index`. One that is missing, too large or does not match
// its signed hash is left out, silently: the run then fetches every file on
// its own, as it always could.
bool fetchBundleIndex(const RunContext& run, const SignatureFile& accepted, BundleIndex* index);

// The requests of the two indexes, and what the run makes of their
// transfers, however they were fetched: `fetched` read into `index` if it
// is the file `accepted` signs. A patch index that is not is logged (unless
// the player stopped the run), a bundle index left out silently; either way
// the index is empty.
FetchRequest patchIndexRequest();
FetchRequest bundleIndexRequest();
bool takePatchIndex(const FetchResult& fetched, const SignatureFile& accepted, PatchIndex* index);
bool takeBundleIndex(const FetchResult& fetched, const SignatureFile& accepted, BundleIndex* index);

// Whether every non-empty line of `manifest` is an entry with a SHA-256 in
// its fifth field; `bad` gets the first line that is not.
bool everyLineIsHashed(UpdateManifest& manifest, std::string* bad);
