#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/platform.h"
#include "support/temp_dir.h"

namespace {

TEST(ReplaceFile, MovesTheNewContentOverTheOldKeepingItsPermissions) {
  ScopedTempDir dir;
  writeFile("game", "old");
  chmod("game", 0750);
  writeFile("new", "new content");
  ASSERT_TRUE(replaceFile("new", "game"));
  EXPECT_EQ(readFile("game"), "new content");
  EXPECT_FALSE(fileExists("new"));
  struct stat info;
  ASSERT_EQ(stat("game", &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0750u);

  // A file that did not exist is simply created.
  writeFile("new", "first");
  EXPECT_TRUE(replaceFile("new", "fresh"));
  EXPECT_EQ(readFile("fresh"), "first");
}

TEST(ReplaceFile, RefusesTargetsItMustNotReplace) {
  ScopedTempDir dir;
  writeFile("new", "new");
  writeFile("saves/slot", "progress");
  EXPECT_FALSE(replaceFile("new", "saves"));  // a folder
  EXPECT_EQ(readFile("saves/slot"), "progress");
  EXPECT_FALSE(replaceFile("new", "missing-folder/x"));
  EXPECT_FALSE(fileExists("missing-folder"));
  EXPECT_EQ(readFile("new"), "new");
}

TEST(ReplaceFile, ReadersSeeTheOldOrTheNewFileButNeverAGap) {
  ScopedTempDir dir;
  const std::string versions[] = {std::string(100000, 'a'), std::string(50000, 'b')};
  writeFile("target", versions[0]);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    while (!done) {
      std::string seen = readFile("target");
      if (seen != versions[0] && seen != versions[1]) ++bad;
    }
  });
  for (int i = 0; i < 300; ++i) {
    writeFile("incoming", versions[(i + 1) % 2]);
    ASSERT_TRUE(replaceFile("incoming", "target"));
  }
  done = true;
  reader.join();
  EXPECT_EQ(bad, 0);
}

TEST(Threads, StartDetachedThreadsThatRunTheirProcedure) {
  static std::atomic<int> runs{0};
  runs = 0;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(startThread([](void*) { ++runs; }));
  for (int waited = 0; runs < 3 && waited < 10000; ++waited) sleepOneMillisecond();
  EXPECT_EQ(runs, 3);
}

TEST(FileLength, OfAnOpenFile) {
  ScopedTempDir dir;
  writeFile("f", std::string(12345, 'x'));
  std::FILE* file = openShared("f", "rb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(fileLength(file), 12345);
  std::fclose(file);
  EXPECT_EQ(fileLength(nullptr), -1);
}

TEST(Seek, ReachesOffsetsPastFourGibibytes) {
  ScopedTempDir dir;
  std::FILE* file = std::fopen("sparse", "w+b");
  ASSERT_TRUE(file);
  const std::int64_t far = (std::int64_t{5} << 30) + 3;  // a sparse file: no disk space
  ASSERT_TRUE(seek(file, far));
  ASSERT_EQ(std::fputc('x', file), 'x');
  ASSERT_EQ(std::fflush(file), 0);
  EXPECT_EQ(fileLength(file), far + 1);
  ASSERT_TRUE(seek(file, 0));
  ASSERT_TRUE(seek(file, far));
  EXPECT_EQ(std::fgetc(file), 'x');
  EXPECT_FALSE(seek(file, -1));
  EXPECT_FALSE(seek(nullptr, 0));
  std::fclose(file);
}

}  // namespace
