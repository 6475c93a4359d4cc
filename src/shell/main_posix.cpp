#include "public_keys.h"
#include "shared/globals.h"
#include "shell/posix_shell.h"

int main() {
  gPublicKeys = publicKeysOf(kBuiltInPublicKeys);
  return runUpdaterShell();
}
