#pragma once

// Shows the progress dialog as a status line on the terminal (updated in
// place, at most ten times a second) and runs the update worker until the
// run ends it or the user presses Ctrl-C or closes the terminal, which play
// the part of the dialog's close box. Returns the dialog's result, 0.
struct UpdateRun;
int runTextDialog(UpdateRun& run);
