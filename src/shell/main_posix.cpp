#include "public_keys.h"
#include "shell/posix_shell.h"
#include "update/update_run.h"

int main() {
  // Lives until the process ends: a worker may outlive the dialog.
  static UpdateRun run;
  run.options.publicKeys = publicKeysOf(kBuiltInPublicKeys);
  return runUpdaterShell(run);
}
