#pragma once

// Moving a publish's files into place by its journal (journal.h), and putting
// right what a killed run left. The caller holds the output folder's lock
// (output_lock.h) throughout. Every name is reached through OutputFolder, so
// no link planted in the served folder leads a move or a delete outside it.

#include <string>
#include <vector>

#include "journal.h"
#include "output_folder.h"

struct CommitOutcome {
  std::vector<std::string> deleted;   // the journal's deletes that were done
  std::vector<std::string> warnings;  // deletes and clean-ups that failed
};

// Moves every put of `journal` from its scratch folder into `out` in order,
// then does its deletes and removes the scratch folder. Fills in the folders
// it makes and the backups it keeps. The journal is on the disk before the
// first move and every move is on the disk before the last one; HUP, INT and
// TERM wait until the end. If a step before the last move fails, what was
// moved is put back and the error is thrown; the folder is then as it was.
void commitJournal(const OutputFolder& out, Journal& journal, CommitOutcome& outcome);

// Puts `out` back in order after a run that was killed: a journal is rolled
// back if its last put had not moved and completed if it had, and scratch
// folders of dead runs are removed. Each thing done is described in
// `repairs`. Throws if the folder cannot be put in order; it is then left
// for a later run to finish (the journal stays). A journal with a name that
// is, or passes through, a link (its scratch folder included) is refused
// before anything is touched.
void recoverOutput(const OutputFolder& out, std::vector<std::string>& repairs);
