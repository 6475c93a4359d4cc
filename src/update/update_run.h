#pragma once

#include <string>
#include <vector>

#include "shared/globals.h"

// The update worker's thread procedure: fetches the manifest, installs every
// listed file whose local copy differs from its line, then ends the dialog.
// Stops before the next entry once gStopRequested is set. Any exception is
// logged as "Error updating". Sets gUpdateFinished as its last act.
void runUpdate(void*);

// Starts runUpdate on a thread of its own. If it cannot be started, logs
// "Error updating" and sets gUpdateFinished (no worker will run, so nothing
// is to be waited for) and returns false.
bool startUpdateWorker();

// Fetches kUpdateBaseUrl + gCurrentFile (percent-encoded where a URL needs it) into kDownloadScratchFile on a
// download worker and waits for it. Never waits for a worker that could not
// be started.
DownloadOutcome fetch();
// The same for kUpdateBaseUrl + `urlPath`, while the dialog still names
// gCurrentFile.
DownloadOutcome fetchUrlPath(const std::string& urlPath);

// Whether the local file `name` must be installed: true unless it opens, its
// length equals unpackedSize and its CRC-32 equals checksum (as 32-bit
// patterns). Reads the file in bounded chunks.
bool needsUpdate(const std::string& name, const std::vector<std::string>& fields);

// CRC-32 (zlib's, from 0) of the whole open file from its current position;
// false if a read failed.
bool crcOfFile(std::FILE* file, std::uint32_t* crc);
