// The real brightwick-updater with its GTK window, on a private Xvfb display,
// against a loopback server. The window reports what its widgets hold to the
// file named by BRIGHTWICK_DIALOG_TRACE; the window itself is found, measured,
// photographed and closed through the X server, as a user would.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "support/http_server.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"
#include "support/virtual_display.h"

// Last: Xlib's macros (None, Bool, Status) would clash with names above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kTitle[] = "Brightwick Updater";
constexpr int kScreenWidth = 800;
constexpr int kScreenHeight = 600;
// The Win32 template's 164 x 46 dialog units at 96 dpi.
constexpr int kClientWidth = 287;
constexpr int kClientHeight = 75;

// A connection to the display for what the command-line tools cannot do.
class XConnection {
 public:
  explicit XConnection(const std::string& display) : display_(XOpenDisplay(display.c_str())) {
    if (!display_) throw std::runtime_error("cannot open " + display);
  }
  ~XConnection() { XCloseDisplay(display_); }
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  // What the window manager sends when the user clicks the close box.
  void requestClose(Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window, False, NoEventMask, &event);
    XFlush(display_);
  }

  // Width and height of the first image of the window's icon, or 0 x 0.
  std::pair<long, long> iconSize(Window window) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::pair<long, long> size{0, 0};
    if (XGetWindowProperty(display_, window, XInternAtom(display_, "_NET_WM_ICON", False), 0, 2,
                           False, XA_CARDINAL, &type, &format, &count, &after, &data) == Success &&
        data && format == 32 && count == 2) {
      const long* values = reinterpret_cast<const long*>(data);
      size = {values[0], values[1]};
    }
    if (data) XFree(data);
    return size;
  }

 private:
  Display* display_;
};

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// Waits until `path` holds a line that `match` accepts, waking on every change
// to its folder, and returns it; nothing at the deadline.
std::optional<std::string> waitForLine(const std::filesystem::path& path,
                                       const std::function<bool(const std::string&)>& match,
                                       std::chrono::milliseconds timeout) {
  std::optional<std::string> found;
  waitForChange(
      path.parent_path().string(),
      [&] {
        if (!fileExists(path)) return false;
        for (const std::string& line : linesOf(readFile(path))) {
          if (match(line)) {
            found = line;
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

// English month names, whatever the locale: the log's file names use them.
std::string englishLogName(std::time_t when) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  localtime_r(&when, &local);
  char name[32];
  std::snprintf(name, sizeof name, "%d-%s-%02d.log", local.tm_year + 1900, kMonths[local.tm_mon],
                local.tm_mday);
  return name;
}

struct GtkDialogTest : ::testing::Test {
  VirtualDisplay display{BRIGHTWICK_XVFB, kScreenWidth, kScreenHeight};
  ScopedTempDir dir;
  std::map<std::string, Reply> served;
  std::filesystem::path trace = dir.path() / "dialog-trace.txt";

  std::map<std::string, std::string> desktop(const TestHttpServer& server) {
    // Under AddressSanitizer: full stacks, so that the suppressions below
    // match GTK's allocations by their makers rather than by glib's g_malloc.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asanOptions =
        std::string(asan && *asan ? asan : "detect_leaks=1") + ":fast_unwind_on_malloc=0";
    return {
        {"http_proxy", server.address()},
        {"ASAN_OPTIONS", asanOptions},
        {"no_proxy", ""},
        {"NO_PROXY", ""},
        {"DISPLAY", display.name()},
        {"WAYLAND_DISPLAY", ""},
        {"BRIGHTWICK_DIALOG_TRACE", trace.string()},
        // GTK keeps some of its caches to the end; only those are excused.
        {"LSAN_OPTIONS", "suppressions=" BRIGHTWICK_GTK_LSAN_SUPPRESSIONS ":print_suppressions=0"}};
  }

  // Runs an X tool against the test's display; its output.
  std::string tool(const std::vector<std::string>& argv) {
    ProcessResult result =
        runProcess(argv, dir.path().string(), {{"DISPLAY", display.name()}}, 15s);
    EXPECT_TRUE(result.exited && result.exitCode == 0) << argv[0] << ": " << result.output;
    return result.output;
  }

  // The visible window titled `title`, waiting for it to appear; 0 if none.
  Window findWindow(const std::string& title) {
    std::string out = tool(
        {BRIGHTWICK_XDOTOOL, "search", "--sync", "--onlyvisible", "--name", "^" + title + "$"});
    return std::strtoul(out.c_str(), nullptr, 10);
  }

  void pressKey(Window window, const std::string& key) {
    // There is no window manager to activate the window: focus it directly,
    // then type as a user would (XTEST), to the focused window.
    std::string id = std::to_string(window);
    tool({BRIGHTWICK_XDOTOOL, "windowfocus", "--sync", id});
    tool({BRIGHTWICK_XDOTOOL, "key", "--clearmodifiers", key});
  }

  std::vector<std::string> traceLines() { return linesOf(readFile(trace)); }

  std::string publish(const std::string& name, const std::string& data) {
    std::string packed = zlibStream(data);
    served[name] = ok(packed);
    return manifestLine(name, data, packed) + "\n";
  }
};

// A status line of the transfer of `name` with a percentage strictly
// between 0 and 100.
std::function<bool(const std::string&)> midTransferOf(const std::string& name) {
  return [name](const std::string& line) {
    std::string prefix = "status Updating " + name + " - ";
    if (line.compare(0, prefix.size(), prefix) != 0 || line.back() != '%') return false;
    std::string digits = line.substr(prefix.size(), line.size() - prefix.size() - 1);
    if (digits.empty() || digits.size() > 3 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    int percent = std::stoi(digits);
    return percent > 0 && percent < 100;
  };
}

enum class Closer { escape, enter, closeBox, interrupt };

std::string nameOf(Closer closer) {
  switch (closer) {
    case Closer::escape:
      return "Escape";
    case Closer::enter:
      return "Enter";
    case Closer::closeBox:
      return "CloseBox";
    case Closer::interrupt:
      return "CtrlC";
  }
  return "unknown";
}

void PrintTo(Closer closer, std::ostream* out) {
  *out << nameOf(closer);
}

struct GtkDialogCloseTest : GtkDialogTest, ::testing::WithParamInterface<Closer> {};

TEST_P(GtkDialogCloseTest, ShowsTheTransferAndClosingStartsTheGameAtOnce) {
  installStandInGame();
  std::string data = makeBytes(400000, 11, false);
  std::string packed = zlibStream(data);
  writeFile("big.pak", "old");
  // Slowly, then not at all: the transfer is still under way when the
  // window is closed, however long that takes.
  Reply slow = ok(packed);
  slow.pieceSize = 8192;
  slow.pieceDelayMs = 20;
  slow.stallAfter = static_cast<std::int64_t>(packed.size() / 3);
  served = {{"update.dat", ok(manifestLine("big.pak", data, packed) + "\n")}, {"big.pak", slow}};
  TestHttpServer server(serveUpdates(served));
  ChildProcess updater({BRIGHTWICK_UPDATER}, dir.path().string(), desktop(server));

  std::optional<std::string> status = waitForLine(trace, midTransferOf("big.pak"), 30s);
  ASSERT_TRUE(status) << updater.wait(0ms).output;
  Window window = findWindow(kTitle);
  ASSERT_NE(window, 0u);
  std::string id = std::to_string(window);
  EXPECT_EQ(tool({BRIGHTWICK_XDOTOOL, "getwindowname", id}), std::string(kTitle) + "\n");
  // Sized like the Windows template, centred on the screen.
  std::string geometry = tool({BRIGHTWICK_XDOTOOL, "getwindowgeometry", "--shell", id});
  EXPECT_NE(geometry.find("WIDTH=" + std::to_string(kClientWidth) + "\n"), std::string::npos)
      << geometry;
  EXPECT_NE(geometry.find("HEIGHT=" + std::to_string(kClientHeight) + "\n"), std::string::npos)
      << geometry;
  EXPECT_NE(geometry.find("X=" + std::to_string((kScreenWidth - kClientWidth) / 2) + "\n"),
            std::string::npos)
      << geometry;
  EXPECT_NE(geometry.find("Y=" + std::to_string((kScreenHeight - kClientHeight) / 2) + "\n"),
            std::string::npos)
      << geometry;
  XConnection x(display.name());
  EXPECT_EQ(x.iconSize(window), std::make_pair(32L, 32L));

  // A picture of the window mid-transfer, kept with the build.
  std::filesystem::create_directories(BRIGHTWICK_SCREENSHOT_DIR);
  std::string picture =
      std::string(BRIGHTWICK_SCREENSHOT_DIR) + "/progress-window-" + nameOf(GetParam()) + ".png";
  std::filesystem::remove(picture);
  tool({BRIGHTWICK_IMPORT, "-window", id, picture});
  EXPECT_EQ(tool({BRIGHTWICK_IDENTIFY, "-format", "%wx%h", picture}),
            std::to_string(kClientWidth) + "x" + std::to_string(kClientHeight));

  EXPECT_FALSE(fileExists("game-started"));
  switch (GetParam()) {
    case Closer::escape:
      pressKey(window, "Escape");
      break;
    case Closer::enter:
      pressKey(window, "Return");
      break;
    case Closer::closeBox:
      x.requestClose(window);
      break;
    case Closer::interrupt:
      updater.signal(SIGINT);
      break;
  }
  // The stalled transfer would hold a waiting updater for its whole grace
  // period; the game must not wait for it.
  EXPECT_TRUE(waitForFile("game-started", 5s));
  ProcessResult result = updater.wait(20s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(readFile("big.pak"), "old");
  EXPECT_FALSE(fileExists("temp.download"));
  std::vector<std::string> lines = traceLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), std::string("shown ") + kTitle);
  EXPECT_EQ(lines.back(), "ended");
}

INSTANTIATE_TEST_SUITE_P(Closers, GtkDialogCloseTest,
                         ::testing::Values(Closer::escape, Closer::enter, Closer::closeBox,
                                           Closer::interrupt),
                         [](const ::testing::TestParamInfo<Closer>& info) {
                           return nameOf(info.param);
                         });

TEST_F(GtkDialogTest, ARunThatEndsByItselfClosesTheWindowAndStartsTheGame) {
  installStandInGame();
  std::string first = makeBytes(150000, 12, true);
  std::string second = makeBytes(90000, 13, false);
  writeFile("a.pak", "old a");
  served["update.dat"] = ok(publish("a.pak", first) + publish("b.pak", second));
  TestHttpServer server(serveUpdates(served));
  ProcessResult result =
      runProcess({BRIGHTWICK_UPDATER}, dir.path().string(), desktop(server), 60s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_TRUE(waitForFile("game-started", 10s));
  EXPECT_EQ(readFile("a.pak"), first);
  EXPECT_EQ(readFile("b.pak"), second);
  EXPECT_TRUE(logMessages().empty());

  // The window showed each file to the end, then went.
  std::vector<std::string> lines = traceLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.front(), std::string("shown ") + kTitle);
  EXPECT_EQ(lines.back(), "ended");
  auto at = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  EXPECT_LT(at("status Updating a.pak - 100%"), at("status Updating b.pak - 0%"));
  EXPECT_LT(at("status Updating b.pak - 100%"), at("ended"));
  EXPECT_LT(at("progress 100"), at("ended"));
  // The window, not the terminal, showed the progress.
  EXPECT_EQ(result.output.find("Updating"), std::string::npos) << result.output;
}

TEST_F(GtkDialogTest, TheDesktopLanguageChangesNeitherLogNamesNorTexts) {
  installStandInGame();
  std::string data = makeBytes(30000, 14, true);
  // A name in UTF-8, as a Linux folder has it, and one in Windows-1252, as a
  // manifest written for Windows has it.
  const std::string utf8Name =
      "gr\xC3\xBC\xC3\x9F"
      "e.pak";
  const std::string ansiName = "caf\xE9.pak";
  served["update.dat"] = ok(publish(utf8Name, data) + publish(ansiName, data) + "no fields here\n");
  TestHttpServer server(serveUpdates(served));
  std::map<std::string, std::string> env = desktop(server);
  env["LANG"] = "de_DE.UTF-8";
  env["LC_ALL"] = "";
  env["LC_TIME"] = "";
  env["LC_CTYPE"] = "";
  env["LANGUAGE"] = "";
  std::time_t before = std::time(nullptr);
  ProcessResult result = runProcess({BRIGHTWICK_UPDATER}, dir.path().string(), env, 60s);
  std::time_t after = std::time(nullptr);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_TRUE(waitForFile("game-started", 10s));
  EXPECT_EQ(readFile(utf8Name), data);
  EXPECT_EQ(readFile(ansiName), data);

  std::vector<std::string> logs;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    if (entry.path().extension() == ".log") logs.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_TRUE(logs[0] == englishLogName(before) || logs[0] == englishLogName(after)) << logs[0];
  EXPECT_EQ(logMessages(),
            std::vector<std::string>{"Invalid Manifest Line:  Error updating no fields here"});

  // Both names reach the status line as the characters they stand for.
  std::vector<std::string> lines = traceLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "status Updating " + utf8Name + " - 100%"),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "status Updating caf\xC3\xA9.pak - 100%"),
            lines.end());
}

TEST_F(GtkDialogTest, AMessageBoxHoldsTheWorkerUntilTheUserConfirmsIt) {
  installStandInGame();
  // The manifest cannot be put where a folder that cannot be removed stands
  // in its way: the run says so in a message box.
  writeFile("update.dat/keep", "");
  served["update.dat"] = ok("");
  TestHttpServer server(serveUpdates(served));
  ChildProcess updater({BRIGHTWICK_UPDATER}, dir.path().string(), desktop(server));

  ASSERT_TRUE(waitForLine(
      trace, [](const std::string& line) { return line.rfind("message ", 0) == 0; }, 30s))
      << updater.wait(0ms).output;
  Window box = findWindow("Updating Error");
  ASSERT_NE(box, 0u);
  // The run waits for the user: the dialog is still there, the game not
  // started.
  EXPECT_NE(findWindow(kTitle), 0u);
  EXPECT_FALSE(fileExists("game-started"));
  std::vector<std::string> lines = traceLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "message Updating Error|Cannot open the file update.dat for writing.  The "
                      "file is in use.  Please close the game first to prevent this problem."),
            lines.end());

  pressKey(box, "Return");
  EXPECT_TRUE(waitForFile("game-started", 10s));
  ProcessResult result = updater.wait(20s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 0) << result.output;
  lines = traceLines();
  auto closed = std::find(lines.begin(), lines.end(), "message closed");
  EXPECT_NE(closed, lines.end());
  EXPECT_LT(closed, std::find(lines.begin(), lines.end(), "ended"));
  EXPECT_EQ(logMessages(), std::vector<std::string>{"Unable to open update.dat"});
}

}  // namespace
