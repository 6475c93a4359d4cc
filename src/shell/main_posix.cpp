#include "shell/posix_shell.h"

int main() {
  return runUpdaterShell();
}
