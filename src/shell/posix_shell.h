#pragma once

// What every POSIX shell of the updater shares: the order of a run, from the
// dialog to the game's launch, as the Windows entry point has it.

struct UpdateRun;

// Runs the whole updater in the current folder and returns the process's exit
// code (always 0). Shows the best dialog the session allows, runs the update
// on a worker while it is open, then starts the game. `run` outlives the
// worker: the process ends before it goes.
int runUpdaterShell(UpdateRun& run);

// Starts "tdx.exe" from the current folder as a program of its own, in a new
// session, and returns without waiting for it. A missing or non-executable
// file is silently ignored.
void launchGame();

// Waits up to `seconds` for the update worker to finish the file in hand;
// ends the process at once if it does not.
void finishUpdateWorker(UpdateRun& run, int seconds);
