#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/game_folder.h"
#include "platform/platform.h"
#include "platform/thread.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

TEST(GameFolder, ReachesOnlyRegularFilesAndNeverThroughALink) {
  ScopedTempDir dir;
  writeFile("outside/x", "outside");
  fs::create_directory("game");
  fs::current_path("game");
  writeFile("data/a.pak", "a");
  fs::create_directory_symlink("../outside", "linked");
  fs::create_symlink("data/a.pak", "alias.pak");
  ASSERT_EQ(mkfifo("fifo", 0600), 0);

  EXPECT_EQ(inspectPath("data/a.pak"), PathKind::regular);
  EXPECT_EQ(inspectPath("data"), PathKind::folder);
  EXPECT_EQ(inspectPath("data/none"), PathKind::missing);
  EXPECT_EQ(inspectPath("none/x"), PathKind::missing);
  EXPECT_EQ(inspectPath("data/a.pak/x"), PathKind::missing);
  EXPECT_EQ(inspectPath("linked/x"), PathKind::throughLink);
  EXPECT_EQ(inspectPath("alias.pak"), PathKind::special);
  EXPECT_EQ(inspectPath("fifo"), PathKind::special);

  // Reading: a FIFO neither blocks nor opens, a link never opens.
  for (const char* name : {"linked/x", "alias.pak", "fifo", "data"}) {
    EXPECT_EQ(openRegularFile(name), nullptr) << name;
  }
  EXPECT_NE(openRegularFile("data/a.pak"), nullptr);

  // Writing: nothing is created, appended to or replaced through a link.
  writeFile("new", "new");
  EXPECT_FALSE(replaceGameFile("new", "linked/x"));
  EXPECT_FALSE(replaceGameFile("new", "linked/created"));
  EXPECT_FALSE(replaceGameFile("new", "alias.pak"));
  EXPECT_EQ(createNewFile("linked/created"), nullptr);
  EXPECT_EQ(openForAppending("linked/x"), nullptr);
  EXPECT_EQ(openForAppending("alias.pak"), nullptr);
  EXPECT_EQ(readFile("../outside/x"), "outside");
  EXPECT_FALSE(fileExists("../outside/created"));
  EXPECT_EQ(readFile("data/a.pak"), "a");
  EXPECT_TRUE(replaceGameFile("new", "data/a.pak"));
  EXPECT_EQ(readFile("data/a.pak"), "new");

  // A file is only ever created anew, and a folder is never removed.
  EXPECT_NE(createNewFile("scratch"), nullptr);
  EXPECT_EQ(createNewFile("scratch"), nullptr);
  EXPECT_TRUE(removeFile("scratch"));
  EXPECT_TRUE(removeFile("scratch"));  // nothing there is fine
  fs::create_directory("empty");
  EXPECT_FALSE(removeFile("empty"));
  EXPECT_TRUE(fs::is_directory("empty"));
  EXPECT_TRUE(removeFile("alias.pak"));  // the link, not its file
  EXPECT_EQ(readFile("data/a.pak"), "new");
  fs::current_path(dir.path());
}

TEST(GameFolder, MakesMissingFoldersButNeverThroughALinkOrOverAFile) {
  ScopedTempDir dir;
  fs::create_directory("outside");
  fs::create_directory("game");
  fs::current_path("game");
  fs::create_directory_symlink("../outside", "linked");
  writeFile("taken", "a file");

  EXPECT_TRUE(makeFolders("dlc/maps/added.txt"));
  EXPECT_TRUE(fs::is_directory("dlc/maps"));
  EXPECT_FALSE(fs::exists("dlc/maps/added.txt"));
  EXPECT_TRUE(makeFolders("dlc/maps/other.txt"));
  EXPECT_FALSE(makeFolders("linked/new/x"));
  EXPECT_FALSE(makeFolders("taken/new/x"));
  EXPECT_TRUE(fs::is_empty("../outside"));
  EXPECT_EQ(readFile("taken"), "a file");
  fs::current_path(dir.path());
}

TEST(GameFolder, TheLockAdmitsOneHolderAtATime) {
  ScopedTempDir dir;
  // flock belongs to the open file: a second open in this process meets
  // the first as another run would.
  EXPECT_EQ(lockGameFolder(), FolderLock::held);
  EXPECT_EQ(lockGameFolder(), FolderLock::busy);
  EXPECT_TRUE(fs::is_regular_file("update.lock"));
}

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

TEST(Threads, RunTheirProcedureWithItsArgumentAndAreWaitedForWhenLetGo) {
  std::atomic<int> runs[3] = {};
  std::vector<Thread> threads;
  for (auto& counter : runs) {
    // Slow to finish, so that letting go without waiting would be seen.
    threads.push_back(startThread(
        [](void* arg) {
          for (int i = 0; i < 5; ++i) sleepOneMillisecond();
          ++*static_cast<std::atomic<int>*>(arg);
        },
        &counter));
    ASSERT_TRUE(threads.back());
  }
  threads.clear();
  for (auto& counter : runs) EXPECT_EQ(counter, 1);
}

TEST(FileLength, OfAnOpenFile) {
  ScopedTempDir dir;
  writeFile("f", std::string(12345, 'x'));
  FilePtr file = openShared("f", "rb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(fileLength(file.get()), 12345);
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
