#pragma once

// The progress dialog as a desktop window (GTK 3). CMake builds either
// gtk_dialog.cpp or, where GTK 3 is not installed, gtk_dialog_none.cpp, whose
// openGtkDisplay() always says no, so the shell falls back to the terminal.

// Connects to the desktop session's display for the progress window. False,
// quietly, when neither DISPLAY nor WAYLAND_DISPLAY is set, when GTK cannot
// open the display, or when the updater was built without GTK. Leaves the
// process locale as it is: the log's names and the core's texts do not follow
// the player's language.
bool openGtkDisplay();

// Runs the progress dialog as a window, "Brightwick Updater" with a bar and a
// status line, until the update worker it starts ends it or the user closes it
// (Esc, Enter, the close box; Ctrl-C or a hang-up on a terminal it was started
// from). Needs openGtkDisplay() to have returned true. Returns the dialog's
// result, 0, once the window is gone from the screen.
struct UpdateRun;
int runGtkDialog(UpdateRun& run);
