#pragma once

// Holds off the requests that would end the process (Ctrl-C, a closed
// terminal or dropped SSH session, a termination request) while an output
// folder is half-way between two versions. They take effect, as they would
// have, once the hold ends; only SIGKILL or a power cut can still stop the
// process in between, which the journal is there for.
//
// The CLI is single-threaded; a program with more threads must hold these
// signals off in the others too, or the system hands them to another thread.
// Holds may nest; the outermost one decides.

class SignalHold {
 public:
  SignalHold();
  ~SignalHold();
  SignalHold(const SignalHold&) = delete;
  SignalHold& operator=(const SignalHold&) = delete;
};
