#pragma once

// The last step of every installation, whole or by patch: the finished
// scratch file takes the listed name.

#include <string>

#include "base/status.h"
#include "update/run_options.h"

// Moves the finished file `from` in under `name`, replacing the local file
// in one step. Makes the folders the name lacks first (inside the game
// folder; none through a link, none over a file): a release may add
// folders, and only a file about to be put in place makes any, so a failed
// download leaves none behind.
//
// Where `name` is the file the updater runs from (options.updaterFile), it
// cannot be overwritten while it runs, but it can be set aside: the old
// file takes kUpdaterAsideFile, which the next run deletes, and `from` takes
// its name. The process runs on from the old file and starts the game as
// always; the new updater runs next time. Where the system allows, the old
// file keeps its name until the new one replaces it in one rename (POSIX: a
// hard link sets it aside), so no moment leaves the updater's name empty;
// on Windows it moves aside first and the new file follows at once. If the
// new file cannot follow, the old one goes back under its name.
//
// A file that cannot be replaced (held open, read-only) is reported in the
// message box, as ever, and kept. The failure returned is the log entry for
// a name whose folder cannot be made ("Cannot Create Folder"); nothing is
// put in place then.
Status putInPlace(const std::string& from, const std::string& name, const RunOptions& options);
