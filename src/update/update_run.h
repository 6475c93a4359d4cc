#pragma once

#include <atomic>

#include "platform/dialog.h"
#include "platform/thread.h"
#include "update/manifest.h"
#include "update/run_options.h"

// One run of the update worker: what it was asked, and what the shell waits
// for. The shell owns it and keeps it for the rest of the process, since a
// worker may outlive the dialog.
struct UpdateRun {
  RunOptions options;
  // Whether a worker was started for it.
  bool started = false;
  // Set by the update worker as its last act.
  std::atomic<bool> finished{false};
  // Its thread: the shell lets go of it once `finished` is set.
  Thread worker;
};

// The update worker's thread procedure; `run` is an UpdateRun. Fetches the
// manifest, installs every listed file whose local copy differs from its
// line, then ends the dialog. Stops before the next entry once
// gStopRequested is set. Any exception is logged as "Error updating".
void runUpdate(void* run);

// Starts runUpdate for `run` on a thread of its own, with `dialog` as the
// progress dialog the run and its transfers report to (gDialog), once
// libcurl is set up on the calling thread. If it
// cannot be started, logs "Error updating", marks the run finished (no
// worker will run, so nothing is to be waited for) and returns false.
bool startUpdateWorker(UpdateRun* run, DialogHandle dialog);

// For the shell once the dialog is over, however it ended: from here on no
// worker waits on the dialog, and the run finishes the file in hand
// (abandoning a transfer still under way) and starts no other.
void stopUpdateWorker();
