#pragma once

// What the Windows end-to-end cases share (windows_e2e_test.cpp,
// windows_selfupdate_test.cpp, one program): the architecture under test,
// chosen by main() from "--arch=NAME", and the fixture that runs its
// programs under Wine in a temporary game folder on a virtual display, with
// the loopback server as their HTTP proxy.

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/http_server.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"
#include "support/virtual_display.h"

namespace windows_test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline const std::string kCannotWrite =
    " for writing.  The file is in use.  Please close the game first to prevent this problem.";

// One architecture's Windows: the programs under test, the Wine loader that
// runs them and a prefix of its own, made once and reused by every case.
struct WindowsTarget {
  std::string arch;
  fs::path updater;  // brightwick-updater.exe; brightwick-pack.exe beside it
  std::string loader;
  std::string winearch;
  fs::path helpers;
  fs::path prefix;
};

inline std::vector<WindowsTarget> configuredTargets() {
  fs::path helpers = BRIGHTWICK_WINDOWS_HELPERS;
  fs::path build = BRIGHTWICK_WINE_TESTS_DIR;
  std::vector<WindowsTarget> targets = {{"x86_64", BRIGHTWICK_WINDOWS_X86_64_EXE, BRIGHTWICK_WINE64,
                                         "win64", helpers / "x86_64", build / "wineprefix-x86_64"}};
  if (std::strlen(BRIGHTWICK_WINDOWS_I686_EXE) > 0) {
    targets.push_back({"i686", BRIGHTWICK_WINDOWS_I686_EXE, BRIGHTWICK_WINE32, "win32",
                       helpers / "i686", build / "wineprefix-i686"});
  }
  return targets;
}

// Chosen by main() from "--arch=NAME".
inline WindowsTarget gTarget;

// The folder as the Windows programs see it: Wine maps / to drive Z:.
inline std::string windowsPath(const fs::path& path) {
  std::string text = "Z:" + path.string();
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

inline std::uint32_t zlibCrc(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

class WindowsUpdaterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setUpWindows(gTarget.prefix); }

  // Starts this suite's display and makes sure its Wine prefix exists.
  static void setUpWindows(const fs::path& prefix) {
    if (gTarget.arch.empty()) throw std::runtime_error("no --arch=NAME given");
    prefix_ = prefix;
    display_ = std::make_unique<VirtualDisplay>(BRIGHTWICK_XVFB, 1024, 768);
    // The log is named and stamped by the Windows program's own clock, in
    // this zone, one far enough from UTC that the local date differs from
    // UTC's now: a stamp in UTC, or in the wrong zone, shows.
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    zoneOffset_ = utc.tm_hour >= 10 ? 14 * 3600 : -12 * 3600;
    // POSIX form, read alike by Wine's C runtime and by Linux.
    zone_ = zoneOffset_ > 0 ? "BWK-14" : "BWK+12";
    // The first start of Wine in a new prefix takes tens of seconds; the
    // test script makes the prefix ahead, this only covers a bare run.
    if (!fs::exists(prefix_ / "system.reg")) {
      std::map<std::string, std::string> env = environment("");
      env["WINEARCH"] = gTarget.winearch;
      ProcessResult boot =
          runProcess({gTarget.loader, "wineboot", "-i"}, ".", env, std::chrono::minutes(5));
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

  // Wine quiet, on this test's display and time zone, with `proxy` as the
  // HTTP proxy.
  static std::map<std::string, std::string> environment(const std::string& proxy) {
    return {{"WINEPREFIX", prefix_.string()},
            {"WINEDEBUG", "-all"},
            // No offer to install Mono or Gecko on a first start.
            {"WINEDLLOVERRIDES", "mscoree,mshtml="},
            {"DISPLAY", display_ ? display_->name() : ""},
            {"WAYLAND_DISPLAY", ""},
            {"TZ", zone_},
            {"http_proxy", proxy},
            {"HTTP_PROXY", ""},
            {"no_proxy", ""},
            {"NO_PROXY", ""},
            {"all_proxy", ""},
            {"ALL_PROXY", ""}};
  }

  void SetUp() override { fs::copy_file(gTarget.helpers / "tdx.exe", dir.path() / "tdx.exe"); }

  std::string publish(const std::string& name, const std::string& data) {
    std::string packed = zlibStream(data);
    served[name] = ok(packed);
    return manifestLine(name, data, packed) + "\n";
  }

  std::unique_ptr<ChildProcess> startWindowsProgram(const std::vector<std::string>& args,
                                                    const std::string& proxy = "") {
    std::vector<std::string> argv = {gTarget.loader};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(argv, dir.path().string(), environment(proxy));
  }

  std::unique_ptr<ChildProcess> startUpdater(const TestHttpServer& server) {
    return startWindowsProgram({gTarget.updater.string()}, server.address());
  }

  // The same program with the tests' keys built in (tests/data/signing-*.key.pub).
  std::unique_ptr<ChildProcess> startTestKeysUpdater(const TestHttpServer& server) {
    fs::path exe = gTarget.updater.parent_path() / "brightwick-updater-test-keys.exe";
    return startWindowsProgram({exe.string()}, server.address());
  }

  // Runs window_probe.exe: waits for the window titled `title`, prints its
  // controls, and with "--dismiss" confirms it.
  ProcessResult probeWindow(const std::string& title, std::vector<std::string> options) {
    std::vector<std::string> args = {(gTarget.helpers / "window_probe.exe").string(), title,
                                     "60000"};
    args.insert(args.end(), options.begin(), options.end());
    return startWindowsProgram(args)->wait(90s);
  }

  ProcessResult runX(const std::vector<std::string>& argv) {
    return runProcess(argv, dir.path().string(), {{"DISPLAY", display_->name()}}, 30s);
  }

  // "YYYY-Mon-DD" of `when` in the test's zone, made here with the C
  // library, apart from the updater's own formatting.
  static std::string localDate(std::time_t when) {
    std::time_t shifted = when + zoneOffset_;
    std::tm local{};
    gmtime_r(&shifted, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%b-%d", &local);
    return text;
  }

  static inline fs::path prefix_;
  static inline std::unique_ptr<VirtualDisplay> display_;
  static inline std::string zone_;
  static inline long zoneOffset_ = 0;
  ScopedTempDir dir;
  std::map<std::string, Reply> served;
};

// The files asked for, in order.
inline std::vector<std::string> requestedNames(const TestHttpServer& server) {
  std::vector<std::string> names;
  for (const Request& request : server.requests()) names.push_back(nameOfTarget(request.target));
  return names;
}

}  // namespace windows_test
