#include "update/put_in_place.h"

#include "base/names.h"
#include "download/progress.h"
#include "log/printable.h"
#include "platform/dialog.h"
#include "platform/game_folder.h"
#include "platform/running_program.h"
#include "shared/globals.h"

namespace {

// True once `from` holds `name`; otherwise the running updater's file is
// under `name` as before.
bool replaceRunningUpdater(const std::string& from, const std::string& name) {
  // An old file that is still running (its run waiting out the file in
  // hand after the game's start) cannot go yet: this updater then stays as
  // it is, and the next run replaces it.
  if (!removeFile(kUpdaterAsideFile)) return false;
  SetAside aside = setAsideGameFile(name, kUpdaterAsideFile);
  if (aside == SetAside::refused) return false;
  if (replaceProgramFile(from, name, kUpdaterAsideFile)) return true;
  // The player keeps a working updater under its name.
  if (aside == SetAside::moved) {
    renameGameFile(kUpdaterAsideFile, name);
  } else {
    removeFile(kUpdaterAsideFile);
  }
  return false;
}

}  // namespace

Status putInPlace(const std::string& from, const std::string& name, const RunOptions& options) {
  bool placed;
  if (options.updaterFile.known && sameFile(gameFileIdentity(name), options.updaterFile)) {
    placed = replaceRunningUpdater(from, name);
  } else {
    if (!makeFolders(name)) {
      return Status::failure("Cannot Create Folder:  Error updating " + printableText(name));
    }
    placed = replaceGameFile(from, name);
  }
  if (!placed) messageBox(gDialog, cannotWriteMessage(name), "Updating Error");
  return Status::success();
}
