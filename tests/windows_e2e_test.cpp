// The Windows updater end to end: the x86_64 build of the same sources (this
// machine runs no 32-bit code) under Wine, on a virtual X display, in a
// temporary game folder, with the loopback server as its HTTP proxy. Small
// Windows programs play the other parts: tdx.exe is a game that leaves a
// mark, file_holder.exe holds a file open as a running game does, and
// window_probe.exe reads (and confirms) the updater's windows as a player
// sees them.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "support/http_server.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"
#include "support/virtual_display.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kHelpers = BRIGHTWICK_WINDOWS_HELPERS;
const std::string kCannotWrite =
    " for writing.  The file is in use.  Please close the game first to prevent this problem.";

Reply ok(const std::string& body) {
  Reply reply;
  reply.body = body;
  return reply;
}

// The folder as the Windows programs see it: Wine maps / to drive Z:.
std::string windowsPath(const fs::path& path) {
  std::string text = "Z:" + path.string();
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

class WindowsUpdaterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    display_ = std::make_unique<VirtualDisplay>(BRIGHTWICK_XVFB, 1024, 768);
    // The first start of Wine in a new prefix takes tens of seconds; the
    // test script makes the prefix ahead, this only covers a bare run.
    if (!fs::exists(fs::path(BRIGHTWICK_WINEPREFIX) / "system.reg")) {
      ProcessResult boot = runProcess({BRIGHTWICK_WINE64, "wineboot", "-i"}, ".", environment(""),
                                      std::chrono::minutes(5));
      if (!boot.exited || boot.exitCode != 0) {
        throw std::runtime_error("wineboot failed: " + boot.output);
      }
    }
  }

  static void TearDownTestSuite() {
    // Ends whatever Windows program is left (a stuck updater would show here
    // as a failed case, not as a hang) and the Wine server with it, before
    // its display goes.
    runProcess({BRIGHTWICK_WINESERVER, "-k"}, ".", environment(""), 30s);
    runProcess({BRIGHTWICK_WINESERVER, "-w"}, ".", environment(""), 30s);
    display_.reset();
  }

  // Wine quiet, on this test's display, with `proxy` as the HTTP proxy.
  static std::map<std::string, std::string> environment(const std::string& proxy) {
    return {{"WINEPREFIX", BRIGHTWICK_WINEPREFIX},
            {"WINEDEBUG", "-all"},
            // No offer to install Mono or Gecko on a first start.
            {"WINEDLLOVERRIDES", "mscoree,mshtml="},
            {"DISPLAY", display_ ? display_->name() : ""},
            {"WAYLAND_DISPLAY", ""},
            {"http_proxy", proxy},
            {"HTTP_PROXY", ""},
            {"no_proxy", ""},
            {"NO_PROXY", ""},
            {"all_proxy", ""},
            {"ALL_PROXY", ""}};
  }

  void SetUp() override { fs::copy_file(fs::path(kHelpers) / "tdx.exe", dir.path() / "tdx.exe"); }

  std::string publish(const std::string& name, const std::string& data) {
    std::string packed = zlibStream(data);
    served[name] = ok(packed);
    return manifestLine(name, data, packed) + "\n";
  }

  std::unique_ptr<ChildProcess> startWindowsProgram(const std::vector<std::string>& args,
                                                    const std::string& proxy = "") {
    std::vector<std::string> argv = {BRIGHTWICK_WINE64};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(argv, dir.path().string(), environment(proxy));
  }

  std::unique_ptr<ChildProcess> startUpdater(const TestHttpServer& server) {
    return startWindowsProgram({BRIGHTWICK_WINDOWS_EXE}, server.address());
  }

  // Runs window_probe.exe: waits for the window titled `title`, prints its
  // controls, and with "--dismiss" confirms it.
  ProcessResult probeWindow(const std::string& title, std::vector<std::string> options) {
    std::vector<std::string> args = {kHelpers + "/window_probe.exe", title, "60000"};
    args.insert(args.end(), options.begin(), options.end());
    return startWindowsProgram(args)->wait(90s);
  }

  ProcessResult runX(const std::vector<std::string>& argv) {
    return runProcess(argv, dir.path().string(), {{"DISPLAY", display_->name()}}, 30s);
  }

  static inline std::unique_ptr<VirtualDisplay> display_;
  ScopedTempDir dir;
  std::map<std::string, Reply> served;
};

TEST_F(WindowsUpdaterTest, UpdatesTheGameFolderAndStartsTheGame) {
  std::string fresh = makeBytes(30000, 11, true);
  std::string stale = makeBytes(70000, 12, false);
  std::string added = makeBytes(200000, 13, true);
  std::string gone = makeBytes(5000, 14, true);
  writeFile("fresh.pak", fresh);
  writeFile("stale.pak", "old stale");
  writeFile("gone.pak", "old gone");
  fs::create_directory("sounds");
  std::string packedGone = zlibStream(gone);
  std::string manifest = publish("fresh.pak", fresh) + publish("stale.pak", stale) +
                         publish("sounds/new.wav", added) +
                         manifestLine("gone.pak", gone, packedGone) + "\n";
  served["update.dat"] = ok(manifest);
  TestHttpServer server(serveUpdates(served));

  ProcessResult result = startUpdater(server)->wait(120s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(readFile("fresh.pak"), fresh);
  EXPECT_EQ(readFile("stale.pak"), stale);
  EXPECT_EQ(readFile("sounds/new.wav"), added);
  // The server answered 404: the old file stays, and the log says why.
  EXPECT_EQ(readFile("gone.pak"), "old gone");
  EXPECT_EQ(logMessages(), (std::vector<std::string>{
                               "Invalid Pre-Decompression Size:  Error updating gone.pak",
                               "Invalid Post-Decompression Size:  Error updating gone.pak"}));
  EXPECT_EQ(readFile("update.dat"), manifest);
  EXPECT_FALSE(fileExists("temp"));
  EXPECT_FALSE(fileExists("temp.download"));
  // Every request came through the proxy with the built-in URL; the fresh
  // file was not fetched.
  std::vector<std::string> names;
  for (const Request& request : server.requests()) names.push_back(nameOfTarget(request.target));
  EXPECT_EQ(names,
            (std::vector<std::string>{"update.dat", "stale.pak", "sounds/new.wav", "gone.pak"}));
  ASSERT_TRUE(waitForFile("game-started", 30s));
  EXPECT_EQ(readFile("game-started"), windowsPath(dir.path()));
}

TEST_F(WindowsUpdaterTest, TheDialogFollowsTheTransferAndEscStartsTheGameAtOnce) {
  std::string data = makeBytes(400000, 21, false);
  std::string packed = zlibStream(data);
  writeFile("big.pak", "old big");
  // Half the stream, then silence: the transfer cannot end by itself.
  Reply stall = ok(packed);
  stall.stallAfter = static_cast<std::int64_t>(packed.size() / 2);
  served = {{"update.dat", ok(manifestLine("big.pak", data, packed) + "\n")}, {"big.pak", stall}};
  TestHttpServer server(serveUpdates(served));
  std::unique_ptr<ChildProcess> updater = startUpdater(server);
  ASSERT_TRUE(server.waitForRequests(2, 60000));

  // What the player sees while the transfer hangs at its half.
  int percent = static_cast<int>(stall.stallAfter * 100 / static_cast<std::int64_t>(packed.size()));
  std::string status = "Updating big.pak - " + std::to_string(percent) + "%";
  // A command with a notification code in its high word is not IDCANCEL.
  ProcessResult dialog =
      probeWindow("Brightwick Updater", {"--until-text", status, "--command", "0x10002"});
  ASSERT_EQ(dialog.exitCode, 0) << dialog.output;
  EXPECT_NE(dialog.output.find("control msctls_progress32 1 Text"), std::string::npos)
      << dialog.output;
  EXPECT_NE(dialog.output.find("progress 1 " + std::to_string(percent) + " 0 100"),
            std::string::npos)
      << dialog.output;
  EXPECT_NE(dialog.output.find("control Static 2 " + status), std::string::npos) << dialog.output;
  EXPECT_NE(dialog.output.find("visible 1"), std::string::npos) << dialog.output;
  fs::create_directories(BRIGHTWICK_ARTIFACTS);
  std::string screenshot = std::string(BRIGHTWICK_ARTIFACTS) + "/windows-dialog-transfer.png";
  ProcessResult shot = runX({BRIGHTWICK_IMPORT, "-window", "root", screenshot});
  EXPECT_EQ(shot.exitCode, 0) << shot.output;
  EXPECT_GT(fs::file_size(screenshot), 0u);

  // Without a window manager the dialog takes the keyboard by focus, not by
  // activation.
  ProcessResult escape = runX({BRIGHTWICK_XDOTOOL, "search", "--sync", "--onlyvisible", "--name",
                               "Brightwick Updater", "windowfocus", "--sync", "key", "Escape"});
  ASSERT_EQ(escape.exitCode, 0) << escape.output;
  ASSERT_TRUE(waitForFile("game-started", 10s));
  // The stalled transfer is abandoned and the process ends; the old file
  // stays.
  ProcessResult result = updater->wait(30s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(readFile("big.pak"), "old big");
  EXPECT_FALSE(fileExists("temp.download"));
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(WindowsUpdaterTest, FilesThatCannotBeReplacedAreReportedKeptAndSkipped) {
  std::string held = makeBytes(20000, 31, true);
  std::string protectedData = makeBytes(20000, 32, true);
  std::string after = makeBytes(50000, 33, false);
  writeFile("held.pak", "held by the game");
  writeFile("readonly.pak", "protected by the player");
  chmod("readonly.pak", 0444);
  served["update.dat"] = ok(publish("held.pak", held) + publish("readonly.pak", protectedData) +
                            publish("after.pak", after));
  TestHttpServer server(serveUpdates(served));
  // Another Windows process holds held.pak open, sharing nothing.
  std::unique_ptr<ChildProcess> holder = startWindowsProgram(
      {kHelpers + "/file_holder.exe", "held.pak", "holder-ready", "holder-release"});
  ASSERT_TRUE(waitForFile("holder-ready", 60s));

  std::unique_ptr<ChildProcess> updater = startUpdater(server);
  // Each file it cannot replace stops the run at a message box naming it,
  // until the player confirms.
  for (const char* name : {"held.pak", "readonly.pak"}) {
    ProcessResult box = probeWindow("Updating Error", {"--dismiss"});
    EXPECT_EQ(box.exitCode, 0) << box.output;
    EXPECT_NE(box.output.find(std::string("Cannot open the file ") + name + kCannotWrite),
              std::string::npos)
        << box.output;
  }
  ProcessResult result = updater->wait(60s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 0);
  writeFile("holder-release", "");
  ProcessResult held_result = holder->wait(30s);
  EXPECT_TRUE(held_result.exited && held_result.exitCode == 0) << held_result.output;

  EXPECT_EQ(readFile("held.pak"), "held by the game");
  EXPECT_EQ(readFile("readonly.pak"), "protected by the player");
  // The run went on after the boxes.
  EXPECT_EQ(readFile("after.pak"), after);
  EXPECT_EQ(logMessages(), (std::vector<std::string>{
                               "Invalid Post-Decompression Size:  Error updating held.pak",
                               "Invalid Post-Decompression Size:  Error updating readonly.pak"}));
  EXPECT_FALSE(fileExists("temp"));
  EXPECT_TRUE(waitForFile("game-started", 30s));
}

}  // namespace
