#pragma once

// The process-wide state through which the update worker, the download worker
// and the shell hand work on to one another. They never share it at the same
// time: whoever sets a value does so before starting or after waiting for the
// thread that reads it. Everything else travels in arguments.

#include <atomic>
#include <string>

#include "engine/zlib_engine.h"
#include "platform/dialog.h"

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
// Set by the shell once the dialog has ended: the run finishes the file in
// hand (abandoning a transfer still under way) and starts no other.
extern std::atomic<bool> gStopRequested;

// Shows `text` in the dialog's status line.
void setStatusText(std::string text);
