// The real updater replacing itself: run from the game folder under the name
// a release publishes it by, it installs its next version from a folder
// brightwick-pack published, whatever stops it on the way (a kill at each
// rename and hard link, a file system without links, a new file that cannot
// follow, through the test-only shim pack_rename_shim.c), and a key rotated
// through the updater it carries.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "pack.h"
#include "support/process.h"
#include "support/signed_folder.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Names = std::vector<std::string>;

constexpr char kUpdater[] = "brightwick-updater";

std::map<std::string, std::string> headless(const TestHttpServer& server) {
  return {{"http_proxy", server.address()},
          {"no_proxy", ""},
          {"NO_PROXY", ""},
          {"DISPLAY", ""},
          {"WAYLAND_DISPLAY", ""}};
}

// The shim in the updater: `action` at the `n`th call of `kind` ("rename" or
// "link"), for each entry.
struct ShimStep {
  std::string kind;
  int n;
  std::string action;
};
std::map<std::string, std::string> shim(const std::vector<ShimStep>& steps) {
  // A sanitizer runtime insists on coming first among the preloaded
  // libraries; the shim needs none.
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::map<std::string, std::string> env = {
      {"LD_PRELOAD", BRIGHTWICK_RENAME_SHIM},
      {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
  for (const ShimStep& step : steps) {
    bool link = step.kind == "link";
    env[link ? "BRIGHTWICK_SHIM_LINK" : "BRIGHTWICK_SHIM_RENAME"] = std::to_string(step.n);
    env[link ? "BRIGHTWICK_SHIM_LINK_ACTION" : "BRIGHTWICK_SHIM_ACTION"] = step.action;
  }
  return env;
}

struct SelfUpdateTest : ::testing::Test {
  ScopedTempDir dir;
  fs::path game = dir.path() / "game";
  fs::path release = dir.path() / "release";
  fs::path out = dir.path() / "out";
  // The updater players have, and the one the release carries: the same
  // program with bytes after its end, which the system never loads, so it
  // runs as well and differs.
  std::string program = readFile(BRIGHTWICK_UPDATER);
  std::string next = program + "\nthe next release\n";

  void SetUp() override {
    fs::create_directories(game);
    fs::current_path(game);
    installStandInGame();
  }

  // Puts `bytes` in the game folder as its updater, as an installer does.
  void installUpdater(const std::string& bytes) {
    std::error_code ignored;
    fs::remove(kUpdater, ignored);
    writeFile(kUpdater, bytes);
    chmod(kUpdater, 0755);
  }

  // Which updater is under its name: "old", "next", "other", or why it
  // could not be started.
  std::string updaterInPlace() const {
    struct stat info;
    if (stat(kUpdater, &info) != 0) return "missing";
    if ((info.st_mode & S_IXUSR) == 0) return "not executable";
    std::string bytes = readFile(kUpdater);
    return bytes == program ? "old" : bytes == next ? "next" : "other";
  }

  void publishRelease(const std::string& key = "") {
    PublishOptions options;
    if (!key.empty()) options.signingKey = copyTestKey(key, dir.path() / "keys").string();
    PublishResult published = publish(release, out, options);
    ASSERT_TRUE(published.ok) << (published.errors.empty() ? "" : published.errors[0]);
  }

  ProcessResult runUpdater(const TestHttpServer& server,
                           const std::map<std::string, std::string>& extra = {}) {
    std::map<std::string, std::string> env = headless(server);
    env.insert(extra.begin(), extra.end());
    return runProcess({(game / kUpdater).string()}, game.string(), env, 60s);
  }
};

TEST_F(SelfUpdateTest, TheRunningUpdaterReplacesItselfAndTheReleaseAddsFolders) {
  installUpdater(program);
  writeFile(release / kUpdater, next);
  std::string added = makeBytes(30000, 1, true);
  writeFile(release / "dlc/maps/added.txt", added);
  writeFile(release / "gone/x.pak", "not served");
  writeFile(release / "mods/extra.pak", "a folder name the game folder has as a file");
  writeFile("mods", "a file");
  ASSERT_NO_FATAL_FAILURE(publishRelease());
  std::map<std::string, Reply> served = servedFolder(out);
  served.erase("gone/x.pak");
  TestHttpServer server(serveUpdates(served));

  ProcessResult first = runUpdater(server);
  ASSERT_TRUE(first.exited) << first.output;
  EXPECT_EQ(first.exitCode, 0);
  // A message box would show on the terminal.
  EXPECT_EQ(first.output.find("Updating Error"), std::string::npos) << first.output;
  EXPECT_EQ(updaterInPlace(), "next");
  EXPECT_TRUE(readFile("temp.updater-old") == program);
  EXPECT_TRUE(readFile("dlc/maps/added.txt") == added);
  // A failed download makes no folder; a file keeps its name.
  EXPECT_FALSE(fileExists("gone"));
  EXPECT_EQ(readFile("mods"), "a file");
  const Names failures = {"Download Failed (HTTP status 404):  Error updating gone/x.pak",
                          "Invalid Pre-Decompression Size:  Error updating gone/x.pak",
                          "Invalid Post-Decompression Size:  Error updating gone/x.pak",
                          "Cannot Create Folder:  Error updating mods/extra.pak",
                          "Invalid Post-Decompression Size:  Error updating mods/extra.pak"};
  EXPECT_EQ(logMessages(), failures);
  EXPECT_TRUE(waitForFile("game-started", 10s));

  // The next run is the new updater's: the old one goes, and the updater
  // is not fetched again.
  std::size_t asked = server.requests().size();
  ProcessResult second = runUpdater(server);
  ASSERT_TRUE(second.exited) << second.output;
  EXPECT_FALSE(fileExists("temp.updater-old"));
  EXPECT_EQ(updaterInPlace(), "next");
  Names names;
  for (std::size_t i = asked; i < server.requests().size(); ++i) {
    names.push_back(nameOfTarget(server.requests()[i].target));
  }
  EXPECT_EQ(settled(names, 1), (Names{"update.dat", "gone/x.pak", "mods/extra.pak"}));
}

TEST_F(SelfUpdateTest, AKillAtAnyRenameOrLinkLeavesAWorkingUpdaterUnderItsName) {
  writeFile(release / kUpdater, next);
  ASSERT_NO_FATAL_FAILURE(publishRelease());
  TestHttpServer server(serveUpdates(servedFolder(out)));
  for (const char* kind : {"rename", "link"}) {
    for (const char* action : {"kill", "kill-after"}) {
      // Each call in turn, until a run makes fewer and goes through.
      for (int n = 1;; ++n) {
        SCOPED_TRACE(std::string(action) + " at " + kind + " " + std::to_string(n));
        installUpdater(program);
        ProcessResult killed = runUpdater(server, shim({{kind, n, action}}));
        std::string left = updaterInPlace();
        EXPECT_TRUE(left == "old" || left == "next") << left;
        // It starts, and its run completes the update.
        ProcessResult again = runUpdater(server);
        ASSERT_TRUE(again.exited && again.exitCode == 0) << again.output;
        EXPECT_EQ(updaterInPlace(), "next");
        if (killed.signal != SIGKILL) break;
        ASSERT_LT(n, 8) << "more calls than a run with one file makes";
      }
    }
  }
}

TEST_F(SelfUpdateTest, WithoutLinksTheOldUpdaterMovesAsideAndComesBackIfTheNewOneCannotFollow) {
  writeFile(release / kUpdater, next);
  ASSERT_NO_FATAL_FAILURE(publishRelease());
  TestHttpServer server(serveUpdates(servedFolder(out)));

  // A file system without hard links: the old updater moves away, as it
  // must on Windows, and the new one takes its name.
  installUpdater(program);
  ProcessResult moved = runUpdater(server, shim({{"link", 1, "fail"}}));
  ASSERT_TRUE(moved.exited) << moved.output;
  EXPECT_EQ(moved.output.find("Updating Error"), std::string::npos) << moved.output;
  EXPECT_EQ(updaterInPlace(), "next");
  EXPECT_TRUE(readFile("temp.updater-old") == program);

  // Renames: update.dat, the old updater's, then the new one's, which
  // fails. The old one comes back, and the player is told as for any file
  // that cannot be replaced.
  installUpdater(program);
  ProcessResult back = runUpdater(server, shim({{"link", 1, "fail"}, {"rename", 3, "fail"}}));
  ASSERT_TRUE(back.exited) << back.output;
  EXPECT_EQ(back.exitCode, 0);
  EXPECT_EQ(updaterInPlace(), "old");
  EXPECT_FALSE(fileExists("temp.updater-old"));
  EXPECT_FALSE(fileExists("temp"));
  EXPECT_NE(back.output.find("Updating Error: Cannot open the file brightwick-updater for writing"),
            std::string::npos)
      << back.output;
  EXPECT_EQ(logMessages(),
            Names{"Invalid Post-Decompression Size:  Error updating brightwick-updater"});
}

// The README's rotation of keys, done: release N, signed with the old key,
// carries an updater that knows both keys; release N+1, signed with the new
// key alone, installs once the updater has replaced itself.
TEST_F(SelfUpdateTest, AKeyRotatesThroughTheUpdaterItCarries) {
  std::string bothKeys = readFile(BRIGHTWICK_SIGNED_UPDATER);
  installUpdater(readFile(BRIGHTWICK_OLD_KEY_UPDATER));
  writeFile(release / kUpdater, bothKeys);
  writeFile(release / "data.pak", "release N");
  ASSERT_NO_FATAL_FAILURE(publishRelease("old"));
  {
    TestHttpServer server(serveUpdates(servedFolder(out)));
    ProcessResult result = runUpdater(server);
    ASSERT_TRUE(result.exited) << result.output;
  }
  EXPECT_TRUE(readFile(kUpdater) == bothKeys);
  EXPECT_EQ(readFile("data.pak"), "release N");
  EXPECT_EQ(logMessages(), Names{});

  writeFile(release / "data.pak", "release N+1");
  ASSERT_NO_FATAL_FAILURE(publishRelease("new"));
  TestHttpServer server(serveUpdates(servedFolder(out)));
  // An updater that knows the old key alone refuses it...
  fs::path stale = dir.path() / "stale";
  fs::create_directories(stale);
  ProcessResult refused =
      runProcess({BRIGHTWICK_OLD_KEY_UPDATER}, stale.string(), headless(server), 60s);
  ASSERT_TRUE(refused.exited) << refused.output;
  fs::current_path(stale);
  Names staleLog = logMessages();
  ASSERT_EQ(staleLog.size(), 1u);
  EXPECT_EQ(staleLog[0].rfind("Invalid Signature (", 0), 0u) << staleLog[0];
  // ... the one the old release brought installs it.
  fs::current_path(game);
  ProcessResult result = runUpdater(server);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(readFile("data.pak"), "release N+1");
  EXPECT_EQ(logMessages(), Names{});
}

}  // namespace
