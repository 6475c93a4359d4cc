// Crash loop: runs the real updater over and over on an update of 50 files
// and of the updater itself, with a second one started at the same moment,
// and kills both with SIGKILL at a random moment of each run. The updater
// runs from the game folder, where the release replaces it with its next
// version (the same program with bytes after its end). After every kill
// each local file must be exactly its old or its new version (never
// missing, empty or mixed), the updater one that can be started, and
// nothing outside the game folder may have changed; a last run to
// completion must leave every file new and no scratch file behind.
//
//   crash_loop --updater PATH [--runs N] [--seed S] [--patches]
//
// Before each run a random half of the files that are already new is put
// back to the old version, so every run has work to be interrupted in; the
// leftovers of the killed run (scratch files, a missing update.dat) stay for
// the next one to deal with. Prints its figures and exits 1 on any
// violation. scripts/crash-loop.sh builds and runs it.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pack.h"
#include "support/http_server.h"
#include "support/process.h"
#include "support/signed_folder.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFiles = 50;
// The updater's name in the game folder, from which every run starts it.
constexpr char kUpdaterName[] = "brightwick-updater";

struct Options {
  std::string updater;
  int runs = 500;
  unsigned long long seed = 1;
  // A signed folder with delta patches (the updater must have the tests'
  // keys built in): each new version is a small change of the old one, so
  // runs apply patches.
  bool patches = false;
};

struct GameFile {
  std::string name;
  std::string oldData;
  std::string newData;
};

struct Figures {
  int killed = 0;
  int finishedFirst = 0;
  long filesOld = 0;
  long filesNew = 0;
  int withTemp = 0;
  int withDownload = 0;
  int withoutManifest = 0;
  int withPart = 0;
  int updaterStale = 0;     // runs that started with the old updater in place
  int updaterKilled = 0;    // ... and were killed
  int updaterReplaced = 0;  // ... and were killed after it was replaced
  int brokenFiles = 0;      // missing, empty or mixed after a kill
  int outsideChanged = 0;   // runs after which something outside changed
};

// 50 files in a few folders, of sizes from 1 KiB to 1 MiB, text-like and
// noise; some keep their size from old to new, so only the CRC tells.
std::vector<GameFile> makeGame(std::mt19937_64& random, bool smallChanges) {
  std::vector<GameFile> files;
  const char* folders[] = {"", "data/", "maps/", "maps/deep/", "sounds/"};
  for (int i = 0; i < kFiles; ++i) {
    GameFile file;
    char name[32];
    std::snprintf(name, sizeof name, "f%02d.pak", i);
    file.name = std::string(folders[i % 5]) + name;
    // Every tenth file is large and packs well, so that its inflation takes
    // a share of the run worth hitting.
    std::size_t most = i % 10 == 0 ? 1 << 20 : 200 << 10;
    std::size_t oldSize = 1024 + random() % most;
    std::size_t newSize = i % 4 == 0 ? oldSize : 1024 + random() % most;
    bool text = i % 2 == 0;
    file.oldData = makeBytes(oldSize, static_cast<unsigned>(random()), text);
    file.newData = makeBytes(newSize, static_cast<unsigned>(random()), text);
    if (smallChanges) {
      // An edit and an insertion: what a patch is made of.
      file.newData = file.oldData;
      file.newData.replace(file.newData.size() / 3, 100, makeBytes(100, 7, text));
      file.newData.insert(file.newData.size() / 2, makeBytes(300, 8, text));
    }
    files.push_back(file);
  }
  return files;
}

bool parse(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--patches") {
      options->patches = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    if (arg == "--updater") {
      options->updater = argv[++i];
    } else if (arg == "--runs") {
      options->runs = std::atoi(argv[++i]);
    } else if (arg == "--seed") {
      options->seed = std::strtoull(argv[++i], nullptr, 10);
    } else {
      return false;
    }
  }
  return !options->updater.empty() && options->runs > 0;
}

// Checks every file after a kill; counts and reports what it finds.
void checkFiles(const std::vector<GameFile>& files, int run, Figures* figures) {
  if (!fs::exists(kUpdaterName) ||
      (fs::status(kUpdaterName).permissions() & fs::perms::owner_exec) == fs::perms::none) {
    std::printf("run %d: the updater cannot be started\n", run);
    ++figures->brokenFiles;
  }
  for (const GameFile& file : files) {
    if (!fileExists(file.name)) {
      std::printf("run %d: %s is missing\n", run, file.name.c_str());
      ++figures->brokenFiles;
      continue;
    }
    std::string now = readFile(file.name);
    if (now == file.newData) {
      ++figures->filesNew;
    } else if (now == file.oldData) {
      ++figures->filesOld;
    } else {
      std::printf("run %d: %s is neither old nor new (%zu bytes; old %zu, new %zu)\n", run,
                  file.name.c_str(), now.size(), file.oldData.size(), file.newData.size());
      ++figures->brokenFiles;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A long loop reports each violation as it happens, also into a file.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  if (!parse(argc, argv, &options)) {
    std::fprintf(stderr, "usage: crash_loop --updater PATH [--runs N] [--seed S] [--patches]\n");
    return 2;
  }
  options.updater = fs::absolute(options.updater).string();
  std::mt19937_64 random(options.seed);

  ScopedTempDir work;
  fs::path game = work.path() / "game";
  writeFile(work.path() / "canary" / "save.dat", "player progress");
  writeFile(work.path() / "beside.txt", "a file beside the game folder");
  std::vector<GameFile> files = makeGame(random, options.patches);
  const std::string program = readFile(options.updater);
  // First in the manifest, as a sorted one lists it among these names, so
  // that many kills come after it.
  files.insert(files.begin(), {kUpdaterName, program, program + "\nthe next release\n"});
  std::map<std::string, Reply> served;
  std::size_t largestPacked = 0;
  std::string manifest;
  for (const GameFile& file : files) {
    writeFile(game / file.name, file.oldData);
    if (file.name == kUpdaterName) {
      fs::permissions(game / file.name, fs::perms::owner_exec, fs::perm_options::add);
    }
    Reply reply;
    reply.body = zlibStream(file.newData, 6);
    // Served as a web server does, so a kill mid-transfer leaves a part the
    // next run continues.
    reply.ranges = true;
    reply.etag = "\"" + std::to_string(served.size()) + "\"";
    largestPacked = std::max(largestPacked, reply.body.size());
    served[file.name] = reply;
    manifest += manifestLine(file.name, file.newData, reply.body) + "\r\n";
  }
  Reply manifestReply;
  manifestReply.body = manifest;
  served["update.dat"] = manifestReply;
  if (options.patches) {
    // Published as a studio would: the old version, then the new one with
    // patches from it, both signed.
    fs::path release = work.path() / "release";
    fs::path out = work.path() / "out";
    PublishOptions publishing;
    publishing.signingKey = copyTestKey("old", work.path() / "keys");
    publishing.deltas = 1;
    for (bool isNew : {false, true}) {
      for (const GameFile& file : files)
        writeFile(release / file.name, isNew ? file.newData : file.oldData);
      PublishResult published = publish(release, out, publishing);
      if (!published.ok) {
        std::printf("publishing failed: %s\n", published.errors.front().c_str());
        return 1;
      }
    }
    served = servedFolder(out);
    largestPacked = 0;
    for (const auto& [name, reply] : served)
      largestPacked = std::max(largestPacked, reply.body.size());
    fs::remove_all(release);
    fs::remove_all(out);
  }
  TestHttpServer server(serveUpdates(served));
  fs::current_path(game);
  const std::string updater = (game / kUpdaterName).string();
  const Tree outside = treeOf(work.path(), "game");
  const std::map<std::string, std::string> env = {{"http_proxy", server.address()},
                                                  {"no_proxy", ""},
                                                  {"NO_PROXY", ""},
                                                  {"DISPLAY", ""},
                                                  {"WAYLAND_DISPLAY", ""}};

  // One uninterrupted run from all-old gives the time a stale file costs.
  ProcessResult calibration = runProcess({updater}, game.string(), env, std::chrono::seconds(120));
  if (!calibration.exited) {
    std::printf("the calibration run did not finish\n");
    return 1;
  }
  const int fileCount = static_cast<int>(files.size());
  double perFileMs = static_cast<double>(calibration.elapsed.count()) / fileCount;
  std::printf("crash loop: seed %llu, %d runs of an update of %d files; a full run takes %lld ms\n",
              options.seed, options.runs, fileCount,
              static_cast<long long>(calibration.elapsed.count()));

  Figures figures;
  for (int run = 1; run <= options.runs; ++run) {
    int stale = 0;
    bool updaterWasOld = false;
    for (const GameFile& file : files) {
      bool isOld = readFile(file.name) == file.oldData;
      if (!isOld && random() % 2 == 0) {
        writeFile(file.name, file.oldData);
        isOld = true;
      }
      stale += isOld ? 1 : 0;
      if (file.name == kUpdaterName) updaterWasOld = isOld;
    }
    // Kill at a moment drawn from the whole expected length of this run,
    // start-up and manifest included.
    double expectedMs = 20 + perFileMs * (stale + 1);
    auto killAfter = std::chrono::microseconds(static_cast<long long>(
        std::uniform_real_distribution<double>(0, expectedMs)(random) * 1000));
    // A second updater started with it (a double click) must leave the run
    // to the first, also when both are killed.
    ChildProcess first({updater}, game.string(), env);
    ChildProcess second({updater}, game.string(), env);
    ProcessResult result =
        first.wait(std::chrono::duration_cast<std::chrono::milliseconds>(killAfter));
    second.wait(std::chrono::milliseconds(0));
    if (result.exited) {
      ++figures.finishedFirst;
    } else {
      ++figures.killed;
    }
    if (updaterWasOld) {
      ++figures.updaterStale;
      bool killed = !result.exited;
      figures.updaterKilled += killed ? 1 : 0;
      figures.updaterReplaced += killed && readFile(kUpdaterName) == files.front().newData ? 1 : 0;
    }
    figures.withTemp += fileExists("temp") ? 1 : 0;
    figures.withDownload += fileExists("temp.download") ? 1 : 0;
    figures.withoutManifest += fileExists("update.dat") ? 0 : 1;
    if (fileExists("temp.partial")) {
      ++figures.withPart;
      // A kept part never grows past its file's listed size and the slack.
      if (fs::file_size("temp.partial") > largestPacked + (1 << 20)) {
        std::printf("run %d: temp.partial has %ju bytes\n", run,
                    static_cast<std::uintmax_t>(fs::file_size("temp.partial")));
        ++figures.brokenFiles;
      }
    }
    checkFiles(files, run, &figures);
    if (treeOf(work.path(), "game") != outside) {
      std::printf("run %d: something outside the game folder changed\n", run);
      ++figures.outsideChanged;
    }
  }

  // One run to completion converges.
  ProcessResult last = runProcess({updater}, game.string(), env, std::chrono::seconds(120));
  int finalNew = 0;
  for (const GameFile& file : files) finalNew += readFile(file.name) == file.newData ? 1 : 0;
  bool scratchLeft = fileExists("temp") || fileExists("temp.download") ||
                     fileExists("temp.partial") || fileExists("temp.partial.info");
  bool converged = last.exited && last.exitCode == 0 && finalNew == fileCount && !scratchLeft &&
                   treeOf(work.path(), "game") == outside;
  long patchesFetched = 0;
  for (const Request& request : server.requests()) {
    if (nameOfTarget(request.target).rfind("update.d/patches/", 0) == 0) ++patchesFetched;
  }
  bool passed = figures.brokenFiles == 0 && figures.outsideChanged == 0 && converged &&
                (!options.patches || patchesFetched > 0);

  std::printf("  killed mid-run: %d, finished before the kill: %d\n", figures.killed,
              figures.finishedFirst);
  std::printf("  files after the kills: %ld old, %ld new, %d missing, empty or mixed\n",
              figures.filesOld, figures.filesNew, figures.brokenFiles);
  std::printf("  runs with the updater to replace: %d, killed: %d, of those after it was: %d\n",
              figures.updaterStale, figures.updaterKilled, figures.updaterReplaced);
  std::printf("  runs after which something outside the game folder changed: %d\n",
              figures.outsideChanged);
  std::printf(
      "  left behind by a kill: \"temp\" %d times, \"temp.download\" %d times, "
      "no update.dat %d times, a part to continue %d times\n",
      figures.withTemp, figures.withDownload, figures.withoutManifest, figures.withPart);
  if (options.patches) std::printf("  patches fetched: %ld\n", patchesFetched);
  std::printf("  final run: exit %d, %d of %d files new, scratch files left: %s\n", last.exitCode,
              finalNew, fileCount, scratchLeft ? "yes" : "no");
  std::printf("crash loop: %s\n", passed ? "passed" : "FAILED");
  return passed ? 0 : 1;
}
