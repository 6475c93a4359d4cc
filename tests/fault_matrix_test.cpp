// The real brightwick-updater against a hostile or broken world: a scripted
// loopback server that cuts, resets, stalls, redirects, floods and changes
// its files mid-run; hostile manifests; local files and folders that cannot
// be written; a full disk. Every case checks the same sound outcome: the old
// files are intact (or exactly the new version), no scratch file is left,
// the run goes on to the next entry, the game starts, the exit code is 0,
// nothing outside the game folder changes, and the log says what happened.
//
// Each test runs in a temporary folder holding the game folder ("game", the
// updater's current folder) and, beside it, a canary folder and file that
// must never change.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>

#include "base/names.h"
#include "download/fetch_ahead.h"
#include "log/dated_log.h"
#include "support/http_server.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;
// Every file under a folder: relative path -> content ("<dir>" for folders).

constexpr std::int64_t kMiB = 1 << 20;
// The bounds the updater promises: a listed size plus this much per file,
// and this much for update.dat.
constexpr std::int64_t kSlack = kMiB;
constexpr std::int64_t kManifestBound = 64 * kMiB;

const std::string kPortalPage =
    "<!DOCTYPE html>\n<html><head><title>Hotel Wi-Fi</title>\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1, shrink-to-fit=no\">\n"
    "</head><body><p>Welcome, guest, please log in, then continue.</p></body></html>\n";

std::string logPrefix(const std::string& message) {
  return message.substr(0, message.find(':'));
}

// The causes in "Download Failed (CAUSE):  ..." lines, in order.
std::vector<std::string> causes(const std::vector<std::string>& log) {
  std::vector<std::string> found;
  const std::string head = "Download Failed (";
  for (const std::string& line : log) {
    std::size_t end = line.rfind("):  Error updating ");
    if (line.rfind(head, 0) == 0 && end != std::string::npos) {
      found.push_back(line.substr(head.size(), end - head.size()));
    }
  }
  return found;
}

// The log with the causes taken out of the "Download Failed" lines.
std::vector<std::string> withoutCauses(std::vector<std::string> log) {
  for (std::string& line : log) {
    std::size_t end = line.rfind("):  Error updating ");
    if (line.rfind("Download Failed (", 0) == 0 && end != std::string::npos) {
      line = "Download Failed" + line.substr(end + 1);
    }
  }
  return log;
}

// Whether `argv` runs successfully (used to probe what this machine allows).
bool succeeds(const std::vector<std::string>& argv) {
  ProcessResult result = runProcess(argv, ".", {}, 20s);
  return result.exited && result.exitCode == 0;
}

struct FaultTest : ::testing::Test {
  ScopedTempDir root;
  fs::path game = root.path() / "game";
  std::map<std::string, Reply> served;
  Tree outsideBefore;

  void SetUp() override {
    fs::create_directory(game);
    writeFile(root.path() / "canary" / "save.dat", "player progress");
    writeFile(root.path() / "canary" / "x", "canary x");
    writeFile(root.path() / "x", "a file beside the game folder");
    fs::current_path(game);
    installStandInGame();
    outsideBefore = treeOf(root.path(), "game");
  }

  // Publishes `data` as `name` and returns its manifest line with "\n".
  std::string publish(const std::string& name, const std::string& data) {
    std::string packed = zlibStream(data);
    served[name] = ok(packed);
    return manifestLine(name, data, packed) + "\n";
  }

  std::map<std::string, std::string> environment(const TestHttpServer& server) const {
    return {{"http_proxy", server.address()},
            {"no_proxy", ""},
            {"NO_PROXY", ""},
            {"DISPLAY", ""},
            {"WAYLAND_DISPLAY", ""}};
  }

  // Runs the updater in the game folder, behind `wrapper` (a command that
  // ends by running its last argument, the updater).
  ProcessResult runUpdater(const TestHttpServer& server, std::vector<std::string> wrapper = {}) {
    std::error_code ignored;
    fs::remove("game-started", ignored);
    wrapper.push_back(BRIGHTWICK_UPDATER);
    return runProcess(wrapper, game.string(), environment(server), 120s);
  }

  // The outcome every case shares, whatever the fault.
  void expectSoundEnd(const ProcessResult& result) {
    EXPECT_TRUE(result.exited) << result.output;
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(waitForFile("game-started", 10s)) << "the game was not started";
    EXPECT_FALSE(fileExists("temp"));
    EXPECT_FALSE(fileExists("temp.download"));
    EXPECT_EQ(treeOf(root.path(), "game"), outsideBefore) << "something outside the game changed";
  }

  Names requested(const TestHttpServer& server) const {
    Names names;
    for (const Request& request : server.requests()) names.push_back(nameOfTarget(request.target));
    return names;
  }

  static void clearLogs() {
    for (const auto& entry : fs::directory_iterator(".")) {
      if (entry.path().extension() == ".log") fs::remove(entry.path());
    }
  }
};

// ---------------------------------------------------------------------------
// Transfers of listed files that go wrong, all in one run: the run goes on
// past each, and the bounds hold. The updater runs with its file-size limit
// set to the tightest bound in play and SIGXFSZ left at its default, so a
// single byte written past a bound would kill it.

TEST_F(FaultTest, BrokenTransfersOfListedFilesKeepTheOldFilesWithinTheBounds) {
  std::string data = makeBytes(300000, 1, false);
  std::string packed = zlibStream(data);
  std::string listed =
      "," + std::to_string(packed.size()) + "," + std::to_string(data.size()) + "," + crcText(data);

  Reply cut = ok(packed);
  cut.closeAfter = static_cast<std::int64_t>(packed.size() / 2);
  Reply reset = cut;
  reset.reset = true;
  Reply overAnnounced = ok(packed);
  overAnnounced.announcedLength = static_cast<std::int64_t>(packed.size()) + 5000;
  Reply redirect = ok("<html><body>Moved <a href=\"/portal\">here</a></body></html>");
  redirect.status = 302;
  redirect.headers = {{"Location", "http://127.0.0.1:1/portal"}};
  Reply endless = ok(makeBytes(65536, 2, false));
  endless.announcedLength = kNoLength;
  endless.repeatTo = 8 * kMiB;
  // 64 MiB of zeros, listed as 100 bytes: the inflation must stop at
  // 100 bytes + 1 MiB.
  std::string bomb = zlibStream(std::string(64 * kMiB, '\0'));

  served = {{"cut.pak", cut},
            {"reset.pak", reset},
            {"short.pak", overAnnounced},
            {"redirect.pak", redirect},
            {"portal.pak", ok(kPortalPage)},
            {"endless.pak", endless},
            {"bomb.pak", ok(bomb)}};
  std::string manifest;
  for (const char* name : {"cut.pak", "reset.pak", "short.pak", "redirect.pak", "portal.pak"}) {
    writeFile(name, std::string("old ") + name);
    manifest += name + listed + "\n";
  }
  writeFile("endless.pak", "old endless.pak");
  manifest += "endless.pak,100,100,0\n";
  writeFile("bomb.pak", "old bomb.pak");
  manifest += "bomb.pak," + std::to_string(bomb.size()) + ",100,0\n";
  manifest += publish("next.bin", "the next entry");
  served["update.dat"] = ok(manifest);
  TestHttpServer server(serveUpdates(served));

  ProcessResult result =
      runUpdater(server, {"prlimit", "--fsize=" + std::to_string(100 + kSlack), "--"});
  expectSoundEnd(result);
  for (const char* name : {"cut.pak", "reset.pak", "short.pak", "redirect.pak", "portal.pak",
                           "endless.pak", "bomb.pak"}) {
    EXPECT_EQ(readFile(name), std::string("old ") + name);
  }
  EXPECT_EQ(readFile("next.bin"), "the next entry");
  auto pre = [](const std::string& name) {
    return "Invalid Pre-Decompression Size:  Error updating " + name;
  };
  auto post = [](const std::string& name) {
    return "Invalid Post-Decompression Size:  Error updating " + name;
  };
  auto bad = [](const std::string& name) {
    return "Invalid Compressed Data:  Error updating " + name;
  };
  auto failed = [](const std::string& name) { return "Download Failed:  Error updating " + name; };
  Names log = logMessages();
  // Each failed transfer says why, in libcurl's words where they are the
  // best there are.
  std::string missing = std::to_string(packed.size() - packed.size() / 2);
  EXPECT_EQ(causes(log), (Names{"transfer closed with " + missing + " bytes remaining to read",
                                "Recv failure: Connection reset by peer",
                                "transfer closed with 5000 bytes remaining to read",
                                "HTTP status 302", "more bytes than listed"}));
  EXPECT_EQ(
      withoutCauses(log),
      (Names{failed("cut.pak"),  pre("cut.pak"),         post("cut.pak"),     failed("reset.pak"),
             pre("reset.pak"),   post("reset.pak"),      failed("short.pak"), pre("short.pak"),
             post("short.pak"),  failed("redirect.pak"), pre("redirect.pak"), post("redirect.pak"),
             pre("portal.pak"),  bad("portal.pak"),      post("portal.pak"),  failed("endless.pak"),
             pre("endless.pak"), post("endless.pak"),    bad("bomb.pak"),     post("bomb.pak")}));
  // Each was asked for (the cut ones again, as a headless run tries a cut
  // transfer that was getting on), the redirect was not followed, and the
  // run reached the last entry.
  Names asked = settled(requested(server), 1);
  asked.erase(std::unique(asked.begin(), asked.end()), asked.end());
  EXPECT_EQ(asked, settled({"update.dat", "cut.pak", "reset.pak", "short.pak", "redirect.pak",
                            "portal.pak", "endless.pak", "bomb.pak", "next.bin"},
                           1));
}

// ---------------------------------------------------------------------------
// The manifest's own transfer going wrong: a partial, redirected or oversized
// update.dat is never trusted; it reads as an empty manifest.

TEST_F(FaultTest, ABrokenManifestTransferChangesNothing) {
  std::string manifest = publish("a.pak", makeBytes(5000, 3, true)) +
                         publish("b.pak", makeBytes(5000, 4, true)) +
                         publish("c.pak", makeBytes(5000, 5, true));
  struct Case {
    const char* what;
    Reply reply;
  };
  std::vector<Case> cases;
  Reply cut = ok(manifest);
  // Past the first line: if the partial text were trusted, a.pak would change.
  cut.closeAfter = static_cast<std::int64_t>(manifest.size() / 2);
  cases.push_back({"cut halfway", cut});
  Reply reset = cut;
  reset.reset = true;
  cases.push_back({"reset", reset});
  Reply overAnnounced = ok(manifest);
  overAnnounced.announcedLength = static_cast<std::int64_t>(manifest.size()) + 100;
  cases.push_back({"announces more than it sends", overAnnounced});
  Reply redirect = ok("<html><body>Moved</body></html>");
  redirect.status = 302;
  redirect.headers = {{"Location", "http://127.0.0.1:1/login"}};
  cases.push_back({"302 with a page", redirect});
  Reply flood = ok(manifest);
  flood.announcedLength = kNoLength;
  flood.repeatTo = kManifestBound + 8 * kMiB;
  cases.push_back({"endless, no length", flood});
  Reply huge = ok(manifest);
  huge.announcedLength = kManifestBound + 1;
  cases.push_back({"announces more than the bound", huge});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* name : {"a.pak", "b.pak", "c.pak"}) writeFile(name, "old");
    clearLogs();
    served["update.dat"] = c.reply;
    TestHttpServer server(serveUpdates(served));
    // A manifest written past its bound would end the process.
    ProcessResult result =
        runUpdater(server, {"prlimit", "--fsize=" + std::to_string(kManifestBound), "--"});
    expectSoundEnd(result);
    EXPECT_EQ(requested(server), Names{"update.dat"});
    EXPECT_EQ(readFile("update.dat"), "");
    for (const char* name : {"a.pak", "b.pak", "c.pak"}) EXPECT_EQ(readFile(name), "old");
    // The one line says why.
    EXPECT_EQ(withoutCauses(logMessages()), Names{"Download Failed:  Error updating update.dat"});
  }
}

TEST_F(FaultTest, ACaptivePortalInstallsNothing) {
  // Every request, update.dat included, gets the portal's page with 200.
  writeFile("a.pak", "old a");
  writeFile("maps/b.pak", "old b");
  TestHttpServer server([](const Request&) { return ok(kPortalPage); });
  Tree before = treeOf(game, "");
  ProcessResult result = runUpdater(server);
  expectSoundEnd(result);
  // The page became update.dat; its lines were refused or asked for, and
  // whatever came back did not inflate. Nothing else in the folder changed.
  EXPECT_EQ(readFile("update.dat"), kPortalPage);
  Tree after = treeOf(game, "");
  for (const auto& [path, content] : before) {
    if (path == "game-started" || path == "game-starts") continue;
    EXPECT_EQ(after[path], content) << path;
  }
  for (const auto& [path, content] : after) {
    bool expected = before.count(path) || path == "update.dat" || path == "game-started" ||
                    path == "game-starts" || path == "update.lock" ||
                    fs::path(path).extension() == ".log";
    EXPECT_TRUE(expected) << "new file " << path;
  }
  for (const std::string& message : logMessages()) {
    std::string prefix = logPrefix(message);
    EXPECT_TRUE(prefix == "Invalid Manifest Line" || prefix == "Invalid File Name" ||
                prefix == "Invalid Pre-Decompression Size" || prefix == "Invalid Compressed Data" ||
                prefix == "Invalid Post-Decompression Size")
        << message;
  }
}

TEST_F(FaultTest, AStalledManifestAndCtrlCStartTheGameAtOnce) {
  writeFile("a.pak", "old");
  Reply stall = ok(publish("a.pak", makeBytes(5000, 6, true)) + std::string(100000, '\n'));
  stall.stallAfter = 30;
  served["update.dat"] = stall;
  TestHttpServer server(serveUpdates(served));
  ChildProcess updater({BRIGHTWICK_UPDATER}, game.string(), environment(server));
  ASSERT_TRUE(server.waitForRequests(1, 20000));
  updater.signal(SIGINT);
  EXPECT_TRUE(waitForFile("game-started", 5s));
  // The transfer is abandoned at libcurl's next progress report, well
  // within the shell's grace period.
  ProcessResult result = updater.wait(15s);
  expectSoundEnd(result);
  EXPECT_EQ(readFile("a.pak"), "old");
  EXPECT_EQ(requested(server), Names{"update.dat"});
}

// ---------------------------------------------------------------------------
// Hostile names are refused before any network or file action.

TEST_F(FaultTest, HostileNamesAreRefusedBeforeAnyRequestOrWrite) {
  std::string evil = zlibStream("evil");
  std::string absolute = (root.path() / "canary" / "save.dat").string();
  const std::vector<std::string> hostile = {"../x",
                                            "..\\x",
                                            "/x",
                                            "C:\\x",
                                            "C:x",
                                            "\\\\host\\share\\x",
                                            "a/../../x",
                                            "../canary/save.dat",
                                            "a/../../canary/x",
                                            absolute,
                                            "x\x01y",
                                            "tab\there",
                                            std::string(kMiB, 'n'),
                                            "./temp",
                                            "."};
  std::string manifest = ",1,2,3\n";  // an empty name
  for (const std::string& name : hostile) {
    served[name] = ok(evil);
    manifest += name + "," + std::to_string(evil.size()) + ",4," + crcText("evil") + "\n";
  }
  manifest += publish("good.bin", "good");
  served["update.dat"] = ok(manifest);
  TestHttpServer server(serveUpdates(served));

  ProcessResult result = runUpdater(server);
  expectSoundEnd(result);
  EXPECT_EQ(requested(server), (Names{"update.dat", "good.bin"}));
  EXPECT_EQ(readFile("good.bin"), "good");
  Names expected{"Invalid Manifest Line:  Error updating ,1,2,3"};
  for (const std::string& name : hostile) {
    std::string shown = name.size() > 200 ? name.substr(0, 200) + "..." : name;
    for (char& c : shown) {
      if (static_cast<unsigned char>(c) < 0x20) c = '?';
    }
    expected.push_back("Invalid File Name:  Error updating " + shown);
  }
  EXPECT_EQ(logMessages(), expected);
}

// ---------------------------------------------------------------------------
// Huge manifests: handled line by line, in memory that does not grow with
// the manifest.

// The peak resident size so far of process `pid`, in KiB (VmHWM), or -1.
// Unlike the rusage of a waited-for child it is the process's own: a child
// inherits its parent's high-water mark through fork and exec.
long peakResidentKiB(pid_t pid) {
  std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
  std::size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}

// Starts the updater in `cwd` with the test's environment changed by `env`,
// output discarded; returns its pid, or -1.
pid_t startQuietUpdater(const std::string& cwd, const std::map<std::string, std::string>& env) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    std::size_t equals = text.find('=');
    if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [key, value] : env) {
    if (value.empty()) {
      merged.erase(key);
    } else {
      merged[key] = value;
    }
  }
  std::vector<std::string> envText;
  for (const auto& [key, value] : merged) envText.push_back(key + "=" + value);
  std::vector<char*> envPointers;
  for (std::string& text : envText) envPointers.push_back(text.data());
  envPointers.push_back(nullptr);
  std::string program = BRIGHTWICK_UPDATER;
  char* argv[] = {program.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Waits up to `timeout` for `pid` to end (killing it then); its exit code,
// or -1 if it did not exit by itself.
int waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
  // A pidfd becomes readable when the process ends: a bounded wait without
  // polling.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    pollfd wait{pidfd, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(timeout.count())) == 0) kill(pid, SIGKILL);
    close(pidfd);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Runs the updater in `cwd` on `files`, whose manifest ends with the entry
// `last`, and returns the updater's peak resident size in KiB as it asks for
// `last`, having read everything before it; -1 if it could not be taken.
long peakWhileReadingManifest(const std::map<std::string, Reply>& files, const std::string& last,
                              const std::string& cwd, std::map<std::string, std::string> env) {
  std::atomic<pid_t> pid{0};
  std::atomic<long> peak{-1};
  TestHttpServer::Handler serve = serveUpdates(files);
  TestHttpServer server([&](const Request& request) {
    if (nameOfTarget(request.target) == last && pid > 0) peak = peakResidentKiB(pid);
    return serve(request);
  });
  env["http_proxy"] = server.address();
  pid = startQuietUpdater(cwd, env);
  EXPECT_GT(pid, 0);
  if (pid > 0) {
    EXPECT_EQ(waitForExit(pid, 300s), 0);
  }
  return peak;
}

TEST_F(FaultTest, HugeManifestsAreReadInBoundedMemory) {
  std::string current = "same";
  writeFile("current.bin", current);
  std::string line = manifestLine("current.bin", current, zlibStream(current));
  // 100,000 checked lines, each padded with an ignored fifth field, then a
  // 1 MB name: about 44 MB that must never be held at once.
  std::string padded = line + "," + std::string(400, 'p') + "\n";
  std::string manifest;
  manifest.reserve(100000 * padded.size() + 2 * kMiB);
  for (int i = 0; i < 100000; ++i) manifest += padded;
  manifest += std::string(kMiB, 'n') + ",1,2,3\n";
  std::string last = publish("last.bin", "the last entry");
  manifest += last;
  ASSERT_LT(static_cast<std::int64_t>(manifest.size()), kManifestBound);

  // The same binary on a short manifest gives its resting size.
  std::map<std::string, std::string> env{
      {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"no_proxy", ""}, {"NO_PROXY", ""}};
  // Under AddressSanitizer freed memory is held back (quarantined) to catch
  // late uses; that is the sanitizer's memory, not the updater's, so none is
  // held for this measurement. Builds without it ignore the variable.
  const char* asan = std::getenv("ASAN_OPTIONS");
  env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":quarantine_size_mb=0";
  served["update.dat"] = ok(line + "\n" + line + "\n" + last);
  long baseline = peakWhileReadingManifest(served, "last.bin", game.string(), env);
  fs::remove("last.bin");
  served["update.dat"] = ok(manifest);
  long huge = peakWhileReadingManifest(served, "last.bin", game.string(), env);
  ASSERT_GT(baseline, 0);
  ASSERT_GT(huge, 0);

  EXPECT_EQ(readFile("last.bin"), "the last entry");
  EXPECT_EQ(logMessages(),
            Names{"Invalid File Name:  Error updating " + std::string(200, 'n') + "..."});
  // Read line by line, the growth is a few copies of the longest line; a
  // reader that held the manifest would grow by its whole size.
  RecordProperty("peak_rss_short_manifest_kib", static_cast<int>(baseline));
  RecordProperty("peak_rss_huge_manifest_kib", static_cast<int>(huge));
  EXPECT_LT((huge - baseline) * 1024, static_cast<long>(manifest.size() / 3))
      << "short manifest " << baseline << " KiB, huge manifest " << huge << " KiB";
}

// ---------------------------------------------------------------------------
// Local files that cannot be written.

// How this machine can make a file or folder unwritable for the updater:
// permission bits when the tests do not run as root; as root, by running the
// updater as an unprivileged user, or else by the immutable attribute.
enum class Denial { permissions, otherUser, immutable, none };

Denial denialMethod(const fs::path& probe) {
  if (geteuid() != 0) return Denial::permissions;
  // The other user must be able to reach and run the updater.
  if (succeeds({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "test", "-x",
                BRIGHTWICK_UPDATER})) {
    return Denial::otherUser;
  }
  writeFile(probe, "");
  bool immutable = succeeds({"chattr", "+i", probe.string()});
  if (immutable) succeeds({"chattr", "-i", probe.string()});
  fs::remove(probe);
  return immutable ? Denial::immutable : Denial::none;
}

// Makes `paths` (in the game folder) unwritable for the updater by
// `denial`; returns the wrapper to run the updater with.
std::vector<std::string> denyWrites(Denial denial, const fs::path& root, const fs::path& game,
                                    const std::vector<std::string>& paths) {
  std::vector<std::string> wrapper;
  switch (denial) {
    case Denial::permissions:
    case Denial::otherUser:
      for (const std::string& path : paths) {
        chmod(path.c_str(), fs::is_directory(path) ? 0555 : 0444);
      }
      if (denial == Denial::otherUser) {
        // The game folder belongs to that user; the targets stay unwritable
        // for it.
        chmod(root.c_str(), 0755);
        for (const auto& entry : fs::recursive_directory_iterator(game)) {
          EXPECT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0);
        }
        EXPECT_EQ(chown(game.c_str(), 65534, 65534), 0);
        wrapper = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
      }
      break;
    case Denial::immutable: {
      std::vector<std::string> argv = {"chattr", "+i"};
      argv.insert(argv.end(), paths.begin(), paths.end());
      EXPECT_TRUE(succeeds(argv));
      break;
    }
    case Denial::none:
      break;
  }
  return wrapper;
}

void allowWrites(Denial denial, const std::vector<std::string>& paths) {
  if (denial != Denial::immutable) return;
  std::vector<std::string> argv = {"chattr", "-i"};
  argv.insert(argv.end(), paths.begin(), paths.end());
  succeeds(argv);
}

TEST_F(FaultTest, AFileOrFolderThatCannotBeWrittenKeepsItsOldContent) {
  Denial denial = denialMethod(root.path() / "probe");
  if (denial == Denial::none) {
    GTEST_SKIP() << "running as root with neither setpriv for an unprivileged user nor chattr +i: "
                    "nothing here can deny root a write";
  }
  writeFile("readonly.pak", "old readonly");
  writeFile("locked/inner.pak", "old inner");
  std::string manifest = publish("readonly.pak", makeBytes(20000, 7, true)) +
                         publish("locked/inner.pak", makeBytes(20000, 8, true)) +
                         publish("next.bin", "the next entry");
  served["update.dat"] = ok(manifest);
  TestHttpServer server(serveUpdates(served));
  std::vector<std::string> wrapper =
      denyWrites(denial, root.path(), game, {"readonly.pak", "locked"});
  ProcessResult result = runUpdater(server, wrapper);
  allowWrites(denial, {"readonly.pak", "locked"});
  expectSoundEnd(result);
  EXPECT_EQ(readFile("readonly.pak"), "old readonly");
  EXPECT_EQ(readFile("locked/inner.pak"), "old inner");
  EXPECT_EQ(readFile("next.bin"), "the next entry");
  const std::string tail =
      " for writing.  The file is in use.  Please close the game first to prevent this problem.";
  EXPECT_NE(result.output.find("Updating Error: Cannot open the file readonly.pak" + tail),
            std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("Updating Error: Cannot open the file locked/inner.pak" + tail),
            std::string::npos)
      << result.output;
  EXPECT_EQ(logMessages(),
            (Names{"Invalid Post-Decompression Size:  Error updating readonly.pak",
                   "Invalid Post-Decompression Size:  Error updating locked/inner.pak"}));
}

TEST_F(FaultTest, AnUpdateDatThatCannotBeReplacedIsReportedAndNotRead) {
  // Linux lets the owner delete a read-only file from a writable folder, so
  // only the immutable attribute keeps update.dat from being both removed
  // and rewritten.
  writeFile("probe", "");
  bool immutable = succeeds({"chattr", "+i", "probe"});
  if (immutable) succeeds({"chattr", "-i", "probe"});
  fs::remove("probe");
  if (!immutable) GTEST_SKIP() << "chattr +i is not available here (needs root and ext4-like)";
  Denial denial = Denial::immutable;
  // The old manifest lists a version the server no longer has; read, it
  // would be installed again.
  writeFile("a.pak", "current a");
  writeFile("update.dat", "a.pak,10,5,0\n");
  served["update.dat"] = ok(publish("a.pak", "current a"));
  served["a.pak"] = ok(zlibStream("older"));
  TestHttpServer server(serveUpdates(served));
  std::vector<std::string> wrapper = denyWrites(denial, root.path(), game, {"update.dat"});
  ProcessResult result = runUpdater(server, wrapper);
  allowWrites(denial, {"update.dat"});
  expectSoundEnd(result);
  EXPECT_EQ(readFile("a.pak"), "current a");
  EXPECT_EQ(requested(server), Names{"update.dat"});
  EXPECT_NE(result.output.find("Updating Error: Cannot open the file update.dat for writing."),
            std::string::npos)
      << result.output;
  EXPECT_EQ(logMessages(), Names{"Unable to open update.dat"});
}

// ---------------------------------------------------------------------------
// A full disk.

TEST_F(FaultTest, AFileSizeLimitFailsTheWritesCleanly) {
  // Writes past the limit fail with EFBIG (SIGXFSZ ignored), as on a full
  // disk: once in the transfer, once in the inflation.
  const std::int64_t limit = 128 * 1024;
  std::string noise = makeBytes(300000, 9, false);  // packs to more than the limit
  std::string text(1000000, 't');                   // packs small, inflates past it
  writeFile("noise.pak", "old noise");
  writeFile("text.pak", "old text");
  std::string manifest =
      publish("noise.pak", noise) + publish("text.pak", text) + publish("next.bin", "next");
  served["update.dat"] = ok(manifest);
  TestHttpServer server(serveUpdates(served));
  ProcessResult result = runUpdater(
      server,
      {"sh", "-c", "trap '' XFSZ; exec prlimit --fsize=" + std::to_string(limit) + " -- \"$0\""});
  expectSoundEnd(result);
  EXPECT_EQ(readFile("noise.pak"), "old noise");
  EXPECT_EQ(readFile("text.pak"), "old text");
  EXPECT_EQ(readFile("next.bin"), "next");
  // The file that could not be written is named: the kept part, or where
  // the first file fetched ahead lands.
  const std::string scratch = kFetchAhead > 1 ? aheadScratchName(0) : std::string(kPartialFile);
  EXPECT_EQ(logMessages(),
            (Names{"Download Failed (cannot write " + scratch + "):  Error updating noise.pak",
                   "Invalid Pre-Decompression Size:  Error updating noise.pak",
                   "Invalid Post-Decompression Size:  Error updating noise.pak",
                   "Invalid Compressed Data:  Error updating text.pak",
                   "Invalid Post-Decompression Size:  Error updating text.pak"}));
}

TEST_F(FaultTest, ANearlyFullDiskSkipsWhatCannotFit) {
  // A small tmpfs in a mount namespace of its own: as root directly, else in
  // a user namespace where the kernel allows one.
  fs::path disk = root.path() / "disk";
  fs::create_directory(disk);
  std::vector<std::string> unshare;
  for (std::vector<std::string> candidate :
       {std::vector<std::string>{"unshare", "-m"}, std::vector<std::string>{"unshare", "-rm"}}) {
    if (geteuid() != 0 && candidate[1] == "-m") continue;
    std::vector<std::string> probe = candidate;
    probe.insert(probe.end(), {"mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", disk.string()});
    if (succeeds(probe)) {
      unshare = candidate;
      break;
    }
  }
  if (unshare.empty()) GTEST_SKIP() << "no mount namespace for a tmpfs here (not root, no userns)";

  // 3 MiB of noise packs to as much again: with the margin the run keeps
  // free, more than the disk has. A 2 GB listing for a small download must
  // not be believed either.
  std::string noise = makeBytes(3 << 20, 11, false);
  fs::remove("tdx.exe");  // the game would start inside the namespace
  writeFile("noise.pak", "old noise");
  writeFile("huge.pak", "old huge");
  served["huge.pak"] = ok(zlibStream(std::string(1 << 20, 'h')));
  std::string manifest = publish("noise.pak", noise) + "huge.pak," +
                         std::to_string(served["huge.pak"].body.size()) + ",2000000000,1\n" +
                         publish("next.bin", "next");
  served["update.dat"] = ok(manifest);
  TestHttpServer server(serveUpdates(served));
  fs::path after = root.path() / "after";
  fs::create_directory(after);
  // The game folder is copied onto a 40 MiB tmpfs, which is then filled up
  // but for 18 MiB. What the run leaves is copied back out.
  std::string script =
      "set -e; mount -t tmpfs -o size=40m tmpfs \"$1\"; cp -a \"$2\"/. \"$1\"/; cd \"$1\";"
      "cat /dev/zero > filler 2>/dev/null || true; truncate -s -18M filler;"
      "set +e; \"$4\"; rc=$?; rm -f filler; cp -a \"$1\"/. \"$3\"/; exit $rc";
  std::vector<std::string> argv = unshare;
  argv.insert(argv.end(), {"sh", "-c", script, "sh", disk.string(), game.string(), after.string(),
                           BRIGHTWICK_UPDATER});
  ProcessResult result = runProcess(argv, game.string(), environment(server), 120s);
  ASSERT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(readFile(after / "noise.pak"), "old noise");
  EXPECT_EQ(readFile(after / "huge.pak"), "old huge");
  EXPECT_EQ(readFile(after / "next.bin"), "next");
  EXPECT_FALSE(fileExists(after / "temp"));
  EXPECT_FALSE(fileExists(after / "temp.download"));
  // Neither is even downloaded.
  EXPECT_EQ(requested(server), (Names{"update.dat", "next.bin"}));
  fs::current_path(after);
  EXPECT_EQ(logMessages(), (Names{"Not Enough Disk Space:  Error updating noise.pak",
                                  "Invalid Post-Decompression Size:  Error updating noise.pak",
                                  "Not Enough Disk Space:  Error updating huge.pak",
                                  "Invalid Post-Decompression Size:  Error updating huge.pak"}));
}

// ---------------------------------------------------------------------------
// Two updaters in one folder: a player's double click.

TEST_F(FaultTest, ASecondUpdaterLeavesTheRunAndTheGameToTheFirst) {
  std::string manifest;
  std::map<std::string, std::string> contents;
  for (int i = 0; i < 6; ++i) {
    std::string name = "f" + std::to_string(i) + ".pak";
    contents[name] = makeBytes(20000 + 7000 * static_cast<std::size_t>(i), 40 + i, i % 2 == 0);
    manifest += publish(name, contents[name]);
  }
  served["update.dat"] = ok(manifest);
  auto resetFiles = [&] {
    for (const auto& [name, data] : contents) writeFile(name, "old " + name);
    std::error_code ignored;
    fs::remove("game-starts", ignored);
  };
  auto starts = [] {
    std::string text = fileExists("game-starts") ? readFile("game-starts") : "";
    return std::count(text.begin(), text.end(), '\n');
  };

  // Held overlap: the first run waits in its first transfer until the
  // second has come and gone. The second asks for nothing and starts no
  // game; the first then finishes and starts it.
  resetFiles();
  std::mutex mutex;
  std::condition_variable changed;
  bool transferring = false, release = false;
  TestHttpServer::Handler files = serveUpdates(served);
  TestHttpServer held([&](const Request& request) {
    if (nameOfTarget(request.target) == "f0.pak") {
      std::unique_lock<std::mutex> lock(mutex);
      transferring = true;
      changed.notify_all();
      changed.wait_for(lock, 60s, [&] { return release; });
    }
    return files(request);
  });
  ChildProcess first({BRIGHTWICK_UPDATER}, game.string(), environment(held));
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return transferring; }));
  }
  // The second gets a server of its own: the first goes on fetching ahead
  // meanwhile, and only the second's requests count here.
  TestHttpServer secondServer(files);
  ProcessResult second =
      runProcess({BRIGHTWICK_UPDATER}, game.string(), environment(secondServer), 30s);
  EXPECT_TRUE(second.exited);
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_TRUE(secondServer.requests().empty());
  EXPECT_EQ(starts(), 0);
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  changed.notify_all();
  expectSoundEnd(first.wait(60s));
  EXPECT_EQ(starts(), 1);
  for (const auto& [name, data] : contents) EXPECT_EQ(readFile(name), data) << name;

  // Started together, many times: whichever way the two meet, every file
  // ends as its own new content and the game starts once or twice.
  held.stop();
  TestHttpServer fast(serveUpdates(served));
  int rounds = 20, overlapped = 0;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    resetFiles();
    std::size_t before = fast.requests().size();
    ChildProcess a({BRIGHTWICK_UPDATER}, game.string(), environment(fast));
    ChildProcess b({BRIGHTWICK_UPDATER}, game.string(), environment(fast));
    ProcessResult ra = a.wait(60s), rb = b.wait(60s);
    ASSERT_TRUE(ra.exited && rb.exited);
    ASSERT_TRUE(waitForChange(
        ".", [&] { return starts() >= 1; }, 10s));
    for (const auto& [name, data] : contents) EXPECT_EQ(readFile(name), data) << name;
    EXPECT_FALSE(fileExists("temp"));
    EXPECT_FALSE(fileExists("temp.download"));
    Names asked;
    for (std::size_t i = before; i < fast.requests().size(); ++i) {
      asked.push_back(nameOfTarget(fast.requests()[i].target));
    }
    // One manifest fetched: the second found the first at work.
    if (std::count(asked.begin(), asked.end(), "update.dat") == 1) ++overlapped;
  }
  RecordProperty("rounds", rounds);
  RecordProperty("rounds_where_the_second_found_the_first_running", overlapped);
  EXPECT_TRUE(logMessages().empty());
}

// ---------------------------------------------------------------------------
// Servers that accept and then answer nothing, stop mid-body, drip or
// freeze: each fails its transfer within the low-speed bound (no data, or
// less than 100 bytes/s, for 60 s), the run goes on and the game starts,
// with no window anyone could close. The shapes run side by side, each in a
// game folder of its own.

TEST_F(FaultTest, StalledServersFailTheTransferWithinTheBound) {
  std::string data = makeBytes(300000, 50, false);
  std::string packed = zlibStream(data);
  Reply silent = ok(packed);
  silent.silent = true;
  Reply midBody = ok(packed);
  midBody.stallAfter = static_cast<std::int64_t>(packed.size() / 2);
  Reply drip = ok(packed);
  drip.pieceSize = 1;
  drip.pieceDelayMs = 1000;
  Reply frozen = ok(packed);
  frozen.stallAfter = 0;
  struct Shape {
    const char* name;
    Reply reply;
  };
  std::vector<Shape> shapes = {{"silent", silent},
                               {"mid-body", midBody},
                               {"drip", drip},
                               {"frozen", frozen},
                               {"silent manifest", silent}};
  // A server that serves ranges and stalls once, after 100 KiB: the cut
  // part is continued by the run's next try.
  std::atomic<int> resumableRequests{0};
  auto resumable = [&](const Request& request) {
    Reply reply = ok(packed);
    reply.ranges = true;
    reply.etag = "\"1\"";
    if (nameOfTarget(request.target) == "a.pak" && resumableRequests++ == 0) {
      reply.stallAfter = 100 * 1024;
    }
    return reply;
  };
  std::vector<std::unique_ptr<TestHttpServer>> servers;
  std::vector<std::unique_ptr<ChildProcess>> runs;
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    fs::path folder = root.path() / ("stall-" + std::to_string(i));
    fs::create_directory(folder);
    installStandInGame(folder);
    writeFile(folder / "a.pak", "old a");
    std::map<std::string, Reply> files{{"a.pak", shapes[i].reply}, {"b.pak", served["b.pak"]}};
    std::string manifest = manifestLine("a.pak", data, packed) + "\n" + publish("b.pak", "next");
    files["b.pak"] = served["b.pak"];
    files["update.dat"] = ok(manifest);
    if (i == shapes.size() - 1) files["update.dat"] = silent;
    servers.push_back(std::make_unique<TestHttpServer>(serveUpdates(files)));
    runs.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{BRIGHTWICK_UPDATER},
                                                  folder.string(), environment(*servers.back())));
  }
  fs::path continued = root.path() / "stall-continued";
  fs::create_directory(continued);
  installStandInGame(continued);
  writeFile(continued / "a.pak", "old a");
  std::string continuedManifest = manifestLine("a.pak", data, packed) + "\n";
  TestHttpServer continuedServer([&](const Request& request) {
    return nameOfTarget(request.target) == "update.dat" ? ok(continuedManifest)
                                                        : resumable(request);
  });
  ChildProcess continuedRun({BRIGHTWICK_UPDATER}, continued.string(), environment(continuedServer));
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    SCOPED_TRACE(shapes[i].name);
    fs::path folder = root.path() / ("stall-" + std::to_string(i));
    // The bound is 60 s without enough data; the deadline only catches a
    // run that would wait for ever.
    ProcessResult result = runs[i]->wait(180s);
    ASSERT_TRUE(result.exited) << result.output;
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(waitForFile(folder / "game-started", 10s));
    RecordProperty(std::string("seconds_") + shapes[i].name,
                   static_cast<int>(result.elapsed.count() / 1000));
    EXPECT_EQ(readFile(folder / "a.pak"), "old a");
    fs::current_path(folder);
    Names log = logMessages();
    ASSERT_FALSE(log.empty());
    std::string file = i == shapes.size() - 1 ? "update.dat" : "a.pak";
    EXPECT_EQ(withoutCauses(log)[0], "Download Failed:  Error updating " + file);
    EXPECT_EQ(causes(log)[0].rfind("Operation too slow", 0), 0u) << causes(log)[0];
    if (file == "a.pak") {
      EXPECT_EQ(readFile(folder / "b.pak"), "next");
    }
  }
  ProcessResult result = continuedRun.wait(180s);
  ASSERT_TRUE(result.exited) << result.output;
  RecordProperty("seconds_stalled_once_then_continued",
                 static_cast<int>(result.elapsed.count() / 1000));
  EXPECT_EQ(readFile(continued / "a.pak"), data);
  fs::current_path(continued);
  EXPECT_TRUE(logMessages().empty());
  std::vector<Request> asked = continuedServer.requests();
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_EQ(asked[2].header("Range"), "bytes=" + std::to_string(100 * 1024) + "-");
  fs::current_path(game);
}

// ---------------------------------------------------------------------------
// Links and special files in the game folder.

TEST_F(FaultTest, LinksAndSpecialFilesNeverTakeTheRunOutsideTheGameOrBlockIt) {
  // maps/ leads outside the game; the day's log is a link to a save outside
  // it; a FIFO and a link to a device stand at listed names.
  fs::create_directory_symlink(root.path() / "canary", game / "maps");
  std::tm now{};
  std::time_t clock = std::time(nullptr);
  localtime_r(&clock, &now);
  std::string log = logFileName(now);
  fs::create_symlink(root.path() / "canary" / "save.dat", log);
  ASSERT_EQ(mkfifo("fifo.pak", 0644), 0);
  fs::create_symlink("/dev/zero", "zero.pak");
  std::string manifest = publish("maps/x", "replaced through the link") +
                         publish("maps/new.pak", "created through the link") +
                         publish("fifo.pak", "into the fifo") + publish("zero.pak", "zeros") +
                         publish("good.bin", "good");
  served["update.dat"] = ok(manifest);
  TestHttpServer server(serveUpdates(served));
  expectSoundEnd(runUpdater(server));
  EXPECT_EQ(requested(server), (Names{"update.dat", "good.bin"}));
  EXPECT_EQ(readFile("good.bin"), "good");
  EXPECT_EQ(fs::symlink_status("fifo.pak").type(), fs::file_type::fifo);
  EXPECT_EQ(fs::read_symlink("zero.pak"), "/dev/zero");

  // With the log's link gone, the log says what was skipped.
  fs::remove(log);
  fs::remove("good.bin");
  expectSoundEnd(runUpdater(server));
  EXPECT_EQ(logMessages(), (Names{"Linked Folder:  Error updating maps/x",
                                  "Linked Folder:  Error updating maps/new.pak",
                                  "Not A Regular File:  Error updating fifo.pak",
                                  "Not A Regular File:  Error updating zero.pak"}));
}

// ---------------------------------------------------------------------------
// A manifest of a million junk lines: the log stays small, the run short.

TEST_F(FaultTest, AMillionJunkLinesKeepTheLogSmall) {
  std::string manifest;
  manifest.reserve(24 << 20);
  for (int i = 0; i < 1000000; ++i) {
    manifest += i % 2 == 0 ? "junk line " + std::to_string(i) + "\n"
                           : "../x" + std::to_string(i) + ",1,2,3\n";
  }
  manifest += publish("last.bin", "the last entry");
  served["update.dat"] = ok(manifest);
  TestHttpServer server(serveUpdates(served));
  ProcessResult result = runUpdater(server);
  expectSoundEnd(result);
  RecordProperty("seconds", static_cast<int>(result.elapsed.count() / 1000));
  EXPECT_EQ(readFile("last.bin"), "the last entry");
  Names log = logMessages();
  ASSERT_EQ(log.size(), 1001u);
  EXPECT_EQ(log.back(), "Too Many Log Entries:  999000 more were dropped");
  std::uintmax_t bytes = 0;
  for (const auto& entry : fs::directory_iterator(".")) {
    if (entry.path().extension() == ".log") bytes += entry.file_size();
  }
  EXPECT_LT(bytes, 1001u * 300u);
}

// ---------------------------------------------------------------------------
// Names with C1 control bytes reach neither the terminal nor the log as
// such: 0x9B alone is CSI on a terminal set for 8-bit controls, and U+009B
// is its UTF-8 form.

TEST_F(FaultTest, ControlBytesInNamesAreShownAsQuestionMarks) {
  const std::string eight =
      "c1\x9b"
      "31m.pak";
  const std::string utf8 =
      "u\xc2\x9b"
      "2J.pak";
  std::string manifest;
  for (const std::string& name : {eight, utf8}) {
    std::string packed = zlibStream("content of " + name);
    served[name] = ok(packed);
    // "+" before the size: installed, yet the after-check logs the name.
    manifest += name + "," + std::to_string(packed.size()) + ",+" +
                std::to_string(("content of " + name).size()) + "," +
                crcText("content of " + name) + "\n";
  }
  served["update.dat"] = ok(manifest);
  TestHttpServer server(serveUpdates(served));
  ProcessResult result = runUpdater(server);
  expectSoundEnd(result);
  EXPECT_EQ(readFile(eight), "content of " + eight);
  EXPECT_EQ(readFile(utf8), "content of " + utf8);
  EXPECT_EQ(result.output.find('\x9b'), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("Updating c1?31m.pak - "), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("Updating u?2J.pak - "), std::string::npos) << result.output;
  EXPECT_EQ(logMessages(), (Names{"Invalid Post-Decompression Size:  Error updating c1?31m.pak",
                                  "Invalid Post-Decompression Size:  Error updating u?2J.pak"}));
}

// ---------------------------------------------------------------------------
// A publish under way on the server while the updater runs.

TEST_F(FaultTest, FilesChangingMidRunInstallOnlyWholeVersionsAndTheNextRunConverges) {
  auto version = [](const char* name, int v) {
    return makeBytes(50000 + v * 1000, static_cast<unsigned>(std::hash<std::string>{}(name)) + v,
                     true);
  };
  const char* names[] = {"a.pak", "b.pak", "c.pak", "d.pak"};
  std::map<std::string, std::string> v1Packed, v2Packed;
  std::string v1Manifest, v2Manifest;
  for (const char* name : names) {
    writeFile(name, version(name, 0));
    v1Packed[name] = zlibStream(version(name, 1));
    v2Packed[name] = zlibStream(version(name, 2));
    v1Manifest += manifestLine(name, version(name, 1), v1Packed[name]) + "\n";
    v2Manifest += manifestLine(name, version(name, 2), v2Packed[name]) + "\n";
  }
  // A publish under way while the run fetches: a.pak is still the version
  // the manifest lists, b.pak is being uploaded (half there), c.pak is
  // already the new version, d.pak is swapped while it is being sent (old
  // head, new tail). The files are fetched at once, ahead of one another, so
  // what each answer is does not depend on their order.
  std::string dMixed = v1Packed["d.pak"].substr(0, v1Packed["d.pak"].size() / 2) +
                       v2Packed["d.pak"].substr(v2Packed["d.pak"].size() / 2);
  TestHttpServer midPublish([&](const Request& request) {
    std::string name = nameOfTarget(request.target);
    if (name == "update.dat") return ok(v1Manifest);
    if (v1Packed.count(name) == 0) {
      Reply missing;
      missing.status = 404;
      return missing;
    }
    const std::string& v1 = v1Packed.at(name);
    const std::string& v2 = v2Packed.at(name);
    if (name == "a.pak") return ok(v1);
    if (name == "b.pak") return ok(v2.substr(0, v2.size() / 2));
    if (name == "c.pak") return ok(v2);
    return ok(dMixed);
  });
  expectSoundEnd(runUpdater(midPublish));
  EXPECT_EQ(readFile("a.pak"), version("a.pak", 1));
  EXPECT_EQ(readFile("b.pak"), version("b.pak", 0));
  // Whole, but not what the manifest in hand lists: not installed.
  EXPECT_EQ(readFile("c.pak"), version("c.pak", 0));
  EXPECT_EQ(readFile("d.pak"), version("d.pak", 0));
  midPublish.stop();

  // The publish has finished: one more run brings everything to the new
  // version and asks only for what is stale.
  clearLogs();
  std::map<std::string, Reply> published{{"update.dat", ok(v2Manifest)}};
  for (const char* name : names) published[name] = ok(v2Packed[name]);
  TestHttpServer done(serveUpdates(published));
  expectSoundEnd(runUpdater(done));
  for (const char* name : names) EXPECT_EQ(readFile(name), version(name, 2)) << name;
  EXPECT_EQ(settled(requested(done), 1),
            settled({"update.dat", "a.pak", "b.pak", "c.pak", "d.pak"}, 1));
  EXPECT_TRUE(logMessages().empty());
}

}  // namespace
