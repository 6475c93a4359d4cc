#pragma once

#include <ctime>
#include <string>

// Appends one entry to the log file of the current local date in the current
// folder: CR LF, the time stamp, " - ", then `message` verbatim. Each call
// opens, appends with a single write, and closes; an entry that cannot be
// written is dropped. The log is a regular file of the game folder, never
// reached through a link. A process writes at most kMaxLogEntries entries,
// so that a hostile manifest cannot fill the disk with its lines; the rest
// are counted.
void writeLog(std::string message);
inline constexpr int kMaxLogEntries = 1000;

// Writes one entry saying how many entries the limit dropped since the last
// call, if any, and starts counting anew: the limit holds per run.
void logDroppedEntries();

// "YYYY-Mon-DD.log" for `when`, with English month abbreviations whatever the
// user's locale.
std::string logFileName(const std::tm& when);

// "YYYY-Mon-DD.HH.MM.SS" for `when`, English months as above.
std::string logTimeStamp(const std::tm& when);

// The entry's bytes as writeLog stores them for `when`.
std::string logEntry(const std::tm& when, const std::string& message);
