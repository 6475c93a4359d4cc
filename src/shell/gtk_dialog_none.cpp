#include "shell/gtk_dialog.h"

// Built without GTK 3: there is never a window, and the shell uses the
// terminal dialog.

bool openGtkDisplay() {
  return false;
}

int runGtkDialog(UpdateRun&) {
  return 0;
}
