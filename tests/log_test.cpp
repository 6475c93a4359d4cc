#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>

#include "log/dated_log.h"
#include "platform/platform.h"
#include "support/temp_dir.h"

namespace {

std::tm sampleTime(int month) {
  std::tm when{};
  when.tm_year = 2026 - 1900;
  when.tm_mon = month;
  when.tm_mday = 7;
  when.tm_hour = 9;
  when.tm_min = 5;
  when.tm_sec = 3;
  return when;
}

// The log of today, whichever side of midnight the entry was written on.
std::string todaysLog() {
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    if (entry.path().extension() == ".log") return entry.path().filename().string();
  }
  return "";
}

std::string expectedNameNow() {
  std::tm now{};
  localTimeOf(std::time(nullptr), &now);
  return logFileName(now);
}

TEST(LogNames, UseEnglishMonthsWithFixedWidths) {
  const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int month = 0; month < 12; ++month) {
    EXPECT_EQ(logFileName(sampleTime(month)), std::string("2026-") + months[month] + "-07.log");
  }
  EXPECT_EQ(logTimeStamp(sampleTime(11)), "2026-Dec-07.09.05.03");
  EXPECT_EQ(logEntry(sampleTime(0), "a b"), "\r\n2026-Jan-07.09.05.03 - a b");
}

TEST(LogNames, StayEnglishUnderAGermanLocale) {
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
  std::tm may = sampleTime(4);
  std::tm march = sampleTime(2);
  char localized[32];
  std::strftime(localized, sizeof localized, "%b", &march);
  std::string name = logFileName(sampleTime(2));
  std::string stamp = logTimeStamp(may);
  std::setlocale(LC_ALL, "C");
  // The German runtime would have said "Mär"; the log keeps "Mar".
  EXPECT_STRNE(localized, "Mar");
  EXPECT_EQ(name, "2026-Mar-07.log");
  EXPECT_EQ(stamp, "2026-May-07.09.05.03");
}

TEST(WriteLog, AppendsEntriesVerbatimInCallOrder) {
  ScopedTempDir dir;
  std::string before = expectedNameNow();
  writeLog("first entry");
  writeLog("Invalid Pre-Decompression Size:  Error updating data/my map.pak");
  std::string name = todaysLog();
  ASSERT_FALSE(name.empty());
  if (name != before) {
    EXPECT_EQ(name, expectedNameNow());  // written across midnight
  }

  std::string text = readFile(name);
  // Each entry is CR LF, a 20-character stamp, " - ", the message; nothing
  // follows the last one, so a new file starts with an empty line.
  ASSERT_EQ(text.substr(0, 2), "\r\n");
  std::size_t second = text.find("\r\n", 2);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(text.substr(2 + 20, second - 22), " - first entry");
  EXPECT_EQ(text.substr(second + 22),
            " - Invalid Pre-Decompression Size:  Error updating data/my map.pak");
  EXPECT_EQ(text.substr(2, 12), name.substr(0, 11) + ".");
}

TEST(WriteLog, DropsTheEntryWhenTheFileCannotBeOpened) {
  ScopedTempDir dir;
  std::filesystem::create_directory(expectedNameNow());
  writeLog("nowhere to go");  // must neither crash nor create anything else
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1);
}

}  // namespace
