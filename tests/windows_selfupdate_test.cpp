// The Windows updater replacing itself under Wine, which keeps a running
// program's file as Windows does (no writing, no deleting, a rename
// allowed): started from the game folder under the name a release
// publishes it by, it installs its next version in one run, without a
// message box, the game starts, and the next run removes the old one. The
// same run makes the folders a release adds, and a key rotates through the
// updater a release carries. Registered beside windows_e2e_test.cpp's cases,
// once per architecture.

#include <gtest/gtest.h>

#include <filesystem>

#include "pack.h"
#include "support/signed_folder.h"
#include "windows/windows_fixture.h"

namespace {

using namespace windows_test;
using Names = std::vector<std::string>;

constexpr char kUpdaterExe[] = "brightwick-updater.exe";

class WindowsSelfUpdateTest : public WindowsUpdaterTest {
 protected:
  fs::path release = dir.path() / "publisher" / "release";
  fs::path out = dir.path() / "publisher" / "out";
  fs::path builds = gTarget.updater.parent_path();

  // Puts `program` in the game folder under the updater's name, as the
  // game's installer does.
  void installUpdater(const fs::path& program) {
    fs::copy_file(program, dir.path() / kUpdaterExe, fs::copy_options::overwrite_existing);
  }

  // The release folder as brightwick-pack publishes it, signed with the
  // tests' `key` if one is named.
  std::map<std::string, Reply> publishRelease(const std::string& key = "") {
    PublishOptions options;
    if (!key.empty())
      options.signingKey = copyTestKey(key, dir.path() / "publisher" / "keys").string();
    PublishResult published = ::publish(release, out, options);
    EXPECT_TRUE(published.ok) << (published.errors.empty() ? "" : published.errors[0]);
    return servedFolder(out);
  }

  // The updater started from the game folder. A message box would hold it
  // until the deadline.
  ProcessResult runUpdaterInPlace(const TestHttpServer& server) {
    std::error_code ignored;
    fs::remove("game-started", ignored);
    return startWindowsProgram({(dir.path() / kUpdaterExe).string()}, server.address())->wait(120s);
  }
};

TEST_F(WindowsSelfUpdateTest, TheRunningUpdaterReplacesItselfAndTheNextRunLeavesNoOldOne) {
  std::string program = readFile(gTarget.updater);
  // Bytes after the program's end, which Windows never loads: a next version
  // that runs as well.
  std::string next = program + "\nthe next release\n";
  installUpdater(gTarget.updater);
  writeFile(release / kUpdaterExe, next);
  std::string added = makeBytes(40000, 91, true);
  writeFile(release / "dlc/maps/added.txt", added);
  TestHttpServer server(serveUpdates(publishRelease()));

  ProcessResult first = runUpdaterInPlace(server);
  ASSERT_TRUE(first.exited) << first.output;
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_TRUE(readFile(kUpdaterExe) == next);
  EXPECT_TRUE(readFile("temp.updater-old") == program);
  EXPECT_TRUE(readFile("dlc/maps/added.txt") == added);
  EXPECT_EQ(logMessages(), Names{});
  EXPECT_TRUE(waitForFile("game-started", 30s));

  std::size_t asked = server.requests().size();
  ProcessResult second = runUpdaterInPlace(server);
  ASSERT_TRUE(second.exited) << second.output;
  EXPECT_FALSE(fileExists("temp.updater-old"));
  EXPECT_TRUE(readFile(kUpdaterExe) == next);
  Names names = requestedNames(server);
  EXPECT_EQ(Names(names.begin() + static_cast<long>(asked), names.end()), Names{"update.dat"});
  EXPECT_TRUE(waitForFile("game-started", 30s));
}

TEST_F(WindowsSelfUpdateTest, AFolderNameTakenByAFileIsLoggedAndSkipped) {
  writeFile("mods", "a file where the release has a folder");
  served["update.dat"] = ok(publish("mods/extra.pak", "extra") + publish("after.pak", "after"));
  TestHttpServer server(serveUpdates(served));
  // No message box holds the run.
  ProcessResult result = startUpdater(server)->wait(120s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(readFile("mods"), "a file where the release has a folder");
  EXPECT_EQ(readFile("after.pak"), "after");
  EXPECT_EQ(logMessages(),
            (Names{"Cannot Create Folder:  Error updating mods/extra.pak",
                   "Invalid Post-Decompression Size:  Error updating mods/extra.pak"}));
  EXPECT_TRUE(waitForFile("game-started", 30s));
}

// Release N, signed with the old key, carries the updater built with both
// keys under the updater's name; release N+1, signed with the new key alone,
// installs once that updater has replaced the one that knew the old key
// only.
TEST_F(WindowsSelfUpdateTest, AKeyRotatesThroughTheUpdaterItCarries) {
  std::string bothKeys = readFile(builds / "brightwick-updater-test-keys.exe");
  installUpdater(builds / "brightwick-updater-old-key.exe");
  writeFile(release / kUpdaterExe, bothKeys);
  writeFile(release / "data.pak", "release N");
  {
    TestHttpServer server(serveUpdates(publishRelease("old")));
    ProcessResult result = runUpdaterInPlace(server);
    ASSERT_TRUE(result.exited) << result.output;
  }
  EXPECT_TRUE(readFile(kUpdaterExe) == bothKeys);
  EXPECT_EQ(readFile("data.pak"), "release N");

  writeFile(release / "data.pak", "release N+1");
  TestHttpServer server(serveUpdates(publishRelease("new")));
  ProcessResult result = runUpdaterInPlace(server);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(readFile("data.pak"), "release N+1");
  EXPECT_FALSE(fileExists("temp.updater-old"));
  EXPECT_EQ(logMessages(), Names{});
  EXPECT_TRUE(waitForFile("game-started", 30s));
}

}  // namespace
