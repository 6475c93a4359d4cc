#include "log/dated_log.h"

#include <atomic>
#include <cstdio>

#include "platform/game_folder.h"
#include "platform/platform.h"

namespace {

// strftime's %b follows the process locale, and a GTK shell or a player's
// setlocale() would rename the log files; the names must stay English.
const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string datePart(const std::tm& when) {
  int month = when.tm_mon >= 0 && when.tm_mon < 12 ? when.tm_mon : 0;
  char text[32];
  std::snprintf(text, sizeof text, "%d-%s-%02d", when.tm_year + 1900, kMonths[month], when.tm_mday);
  return text;
}

std::atomic<int> entriesWritten{0};
std::atomic<long> entriesDropped{0};

void appendEntry(const std::string& message) {
  // One conversion feeds both the name and the stamp, so an entry written
  // across midnight still lands in the file its stamp names.
  std::tm now{};
  if (!localTimeOf(std::time(nullptr), &now)) return;
  // Never through a link, never into a FIFO or device at the log's name.
  auto file = openForAppending(logFileName(now));
  if (!file) return;
  std::string entry = logEntry(now, message);
  std::fwrite(entry.data(), entry.size(), 1, file.get());
}

}  // namespace

std::string logFileName(const std::tm& when) {
  return datePart(when) + ".log";
}

std::string logTimeStamp(const std::tm& when) {
  char clock[16];
  std::snprintf(clock, sizeof clock, ".%02d.%02d.%02d", when.tm_hour, when.tm_min, when.tm_sec);
  return datePart(when) + clock;
}

std::string logEntry(const std::tm& when, const std::string& message) {
  return "\r\n" + logTimeStamp(when) + " - " + message;
}

void writeLog(std::string message) {
  if (entriesWritten.fetch_add(1) >= kMaxLogEntries) {
    ++entriesDropped;
    return;
  }
  appendEntry(message);
}

void logDroppedEntries() {
  entriesWritten = 0;
  long dropped = entriesDropped.exchange(0);
  if (dropped > 0) {
    appendEntry("Too Many Log Entries:  " + std::to_string(dropped) + " more were dropped");
  }
}
