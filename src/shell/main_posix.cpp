#include "platform/running_program.h"
#include "public_keys.h"
#include "shell/posix_shell.h"
#include "update/update_run.h"

int main() {
  // Lives until the process ends: a worker may outlive the dialog.
  static UpdateRun run;
  run.options.publicKeys = publicKeysOf(kBuiltInPublicKeys);
  // Before anything could rename it.
  run.options.updaterFile = runningProgramFile();
  return runUpdaterShell(run);
}
