// The brightwick-pack command line, and a whole release cycle with real
// programs: brightwick-pack publishes, nginx serves, brightwick-updater
// updates a game folder. Also the publisher under real faults: killed at each
// rename in turn (a test-only LD_PRELOAD shim, pack_rename_shim.c), a hang-up
// while it moves files, two runs at once, and folders that overlap through a
// relative path or a bind mount.
//
// nginx gets its port without a race: the test binds 127.0.0.1 on a port the
// system picks and hands the listening socket to nginx the way nginx hands
// sockets to its own successor on a binary upgrade (the NGINX environment
// variable names inherited descriptors; a "listen" on the same address takes
// them over). Until nginx accepts, connections wait in the socket's backlog.

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "shared/base_url.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/update_harness.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

ProcessResult pack(const std::vector<std::string>& args, const fs::path& cwd,
                   const std::map<std::string, std::string>& env = {}) {
  std::vector<std::string> argv = {BRIGHTWICK_PACK};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, cwd.string(), env, 60s);
}

// The environment that loads the rename shim into brightwick-pack and makes
// it do `action` at rename `n`.
std::map<std::string, std::string> shim(int n, const std::string& action) {
  // A sanitizer runtime insists on coming first among the preloaded
  // libraries; the shim needs none.
  const char* asan = std::getenv("ASAN_OPTIONS");
  return {{"LD_PRELOAD", BRIGHTWICK_RENAME_SHIM},
          {"BRIGHTWICK_SHIM_RENAME", std::to_string(n)},
          {"BRIGHTWICK_SHIM_ACTION", action},
          {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
}

// nginx with a configuration of its own under `prefix`, serving `site`, run
// as a child process on an inherited loopback socket.
struct Nginx {
  fs::path prefix;
  int port = 0;
  std::unique_ptr<ChildProcess> process;

  Nginx(const fs::path& prefixPath, const fs::path& site) : prefix(prefixPath) {
    fs::create_directories(prefix / "tmp");
    int fd = socket(AF_INET, SOCK_STREAM, 0);  // inherited: no close-on-exec
    if (fd < 0) throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      close(fd);
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    std::string conf = readFile(BRIGHTWICK_NGINX_TEMPLATE);
    auto fill = [&conf](const std::string& placeholder, const std::string& value) {
      for (std::size_t at; (at = conf.find(placeholder)) != std::string::npos;) {
        conf.replace(at, placeholder.size(), value);
      }
    };
    fill("@PREFIX@", prefix.string());
    // As root, the workers would otherwise become nobody, who cannot read
    // the test's private folder.
    fill("@USER@", geteuid() == 0 ? "user root;" : "");
    fill("@LOG_FORMAT@", "combined");
    fill("@SERVERS@", "  server { listen 127.0.0.1:" + std::to_string(port) + "; root \"" +
                          site.string() + "\"; }");
    writeFile(prefix / "nginx.conf", conf);
    process = std::make_unique<ChildProcess>(
        std::vector<std::string>{BRIGHTWICK_NGINX, "-p", prefix.string() + "/", "-e",
                                 (prefix / "error.log").string(), "-c",
                                 (prefix / "nginx.conf").string()},
        prefix.string(), std::map<std::string, std::string>{{"NGINX", std::to_string(fd) + ";"}});
    // nginx has its own copy now; the test's would keep the port open after
    // nginx stopped.
    close(fd);
  }

  ~Nginx() { stop(); }

  // Fast shutdown; the master waits for its worker.
  ProcessResult stop() {
    process->signal(SIGTERM);
    return process->wait(10s);
  }

  std::string address() const { return "http://127.0.0.1:" + std::to_string(port); }
  std::string log(const char* name) const { return readFile(prefix / name); }
};

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

// GET `url` through `proxy` as the updater does; status and body.
std::pair<long, std::string> fetchThrough(const std::string& proxy, const std::string& url) {
  std::unique_ptr<CURL, void (*)(CURL*)> handle(curl_easy_init(), curl_easy_cleanup);
  std::string body;
  curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_PROXY, proxy.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT, 20L);
  long status = 0;
  if (curl_easy_perform(handle.get()) == CURLE_OK) {
    curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
  }
  return {status, body};
}

// The served folder's requests in nginx's access log: name -> "STATUS:BYTES "
// for each request under the updater's URL.
// The updater without a display, its HTTP going to `proxy`.
ProcessResult runHeadless(const std::string& updater, const fs::path& game,
                          const std::string& proxy) {
  return runProcess({updater}, game.string(),
                    {{"http_proxy", proxy},
                     {"no_proxy", ""},
                     {"NO_PROXY", ""},
                     {"DISPLAY", ""},
                     {"WAYLAND_DISPLAY", ""}},
                    60s);
}

std::map<std::string, std::string> servedRequests(const std::string& access) {
  std::map<std::string, std::string> served;
  const std::string request = std::string("\"GET ") + kUpdateBaseUrl;
  std::istringstream lines(access);
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t at = line.find(request);
    if (at == std::string::npos) continue;
    at += request.size();
    std::size_t nameEnd = line.find(' ', at);
    std::size_t status = line.find("\" ", nameEnd);
    if (nameEnd == std::string::npos || status == std::string::npos) continue;
    std::istringstream rest(line.substr(status + 2));
    std::string code, bytes;
    rest >> code >> bytes;
    served[line.substr(at, nameEnd - at)] += code + ":" + bytes + " ";
  }
  return served;
}

struct PackCommandLine : ::testing::Test {
  ScopedTempDir dir;
};

TEST_F(PackCommandLine, HelpDocumentsEveryOptionAndTheExitCodes) {
  ProcessResult help = pack({"--help"}, dir.path());
  ASSERT_TRUE(help.exited);
  EXPECT_EQ(help.exitCode, 0);
  for (const char* text : {"publish", "verify", "--level", "--exclude", "--force", "--verbose",
                           "--release", "--help", "Exit codes", "0 ", "1 ", "2 "}) {
    EXPECT_NE(help.output.find(text), std::string::npos) << text;
  }
  for (const std::vector<std::string>& wrong :
       std::vector<std::vector<std::string>>{{},
                                             {"pack"},
                                             {"publish", "only-one"},
                                             {"publish", "--level", "12", "a", "b"},
                                             {"publish", "--exclude"},
                                             {"verify", "--force", "out"},
                                             {"verify", "--release", "no-such-folder", "out"},
                                             {"verify", "a", "b"}}) {
    ProcessResult result = pack(wrong, dir.path());
    EXPECT_EQ(result.exitCode, 2) << ::testing::PrintToString(wrong) << result.output;
    EXPECT_NE(result.output.find("--help"), std::string::npos);
  }
}

TEST_F(PackCommandLine, ExitCodesTellSuccessRefusalAndProblemsApart) {
  writeFile("release/data/a.pak", makeBytes(50000, 1, true));
  writeFile("release/b.pak", makeBytes(20000, 2, false));
  ProcessResult published = pack({"publish", "--level", "6", "release", "out"}, dir.path());
  ASSERT_EQ(published.exitCode, 0) << published.output;
  EXPECT_NE(published.output.find("2 packed"), std::string::npos) << published.output;
  EXPECT_EQ(pack({"verify", "out"}, dir.path()).exitCode, 0);
  ProcessResult compared = pack({"verify", "--release", "release", "out"}, dir.path());
  EXPECT_EQ(compared.exitCode, 0) << compared.output;
  EXPECT_NE(compared.output.find("release file's bytes"), std::string::npos) << compared.output;
  writeFile("elsewhere/data/a.pak", makeBytes(50000, 3, true));
  writeFile("elsewhere/b.pak", makeBytes(20000, 2, false));
  ProcessResult differs = pack({"verify", "--release", "elsewhere", "out"}, dir.path());
  EXPECT_EQ(differs.exitCode, 1);
  EXPECT_NE(differs.output.find("\"data/a.pak\": inflates to other bytes"), std::string::npos)
      << differs.output;

  std::string manifest = readFile("out/update.dat");
  writeFile("release/bad,name.pak", "x");
  ProcessResult refused = pack({"publish", "release", "out"}, dir.path());
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.output.find("bad,name.pak"), std::string::npos) << refused.output;
  EXPECT_EQ(readFile("out/update.dat"), manifest);
  ProcessResult excluded =
      pack({"publish", "-v", "--exclude", "bad,*", "release", "out"}, dir.path());
  EXPECT_EQ(excluded.exitCode, 0) << excluded.output;
  EXPECT_NE(excluded.output.find("left out   bad,name.pak"), std::string::npos);

  writeFile("out/b.pak", "not a zlib stream");
  ProcessResult problems = pack({"verify", "out"}, dir.path());
  EXPECT_EQ(problems.exitCode, 1);
  EXPECT_NE(problems.output.find("b.pak"), std::string::npos) << problems.output;
}

TEST_F(PackCommandLine, ShowsProgressOnATerminalOnly) {
  writeFile("release/a.pak", makeBytes(300000, 1, true));
  writeFile("release/b.pak", makeBytes(300000, 2, true));
  // script(1) (util-linux) runs the tool on a pseudo-terminal of its own.
  std::string command = std::string(BRIGHTWICK_PACK) + " publish release out";
  ProcessResult onTerminal =
      runProcess({"script", "-qec", command, "/dev/null"}, dir.path().string(), {}, 60s);
  ASSERT_EQ(onTerminal.exitCode, 0) << onTerminal.output;
  EXPECT_NE(onTerminal.output.find("\r2/2 files, "), std::string::npos) << onTerminal.output;
  ProcessResult piped = pack({"publish", "--force", "release", "out"}, dir.path());
  ASSERT_EQ(piped.exitCode, 0);
  EXPECT_EQ(piped.output.find("files, "), std::string::npos) << piped.output;
}

TEST(PackWithNginx, AGameFolderUpdatesFromWhatNginxServes) {
  ASSERT_TRUE(fs::exists(BRIGHTWICK_NGINX))
      << "nginx not found (" << BRIGHTWICK_NGINX << "): run scripts/install-deps.sh";
  ScopedTempDir dir;
  fs::path release = dir.path() / "release";
  fs::path site = dir.path() / "site";
  fs::path game = dir.path() / "game";
  std::map<std::string, std::string> files = {
      {"tdx.exe", "#!/bin/sh\npwd > game-started\n"},
      {"maps/town.map", makeBytes(400000, 1, true)},
      {"maps/noise.pak", makeBytes(150000, 2, false)},
      {"sounds/empty.wav", ""},
      {"readme.txt", "unchanged\n"},
  };
  for (const auto& file : files) writeFile(release / file.first, file.second);
  // The old game: two files current (the launcher among them: a replaced
  // file would lose its execute bit here, which Windows does not have), one
  // older, the rest missing.
  writeFile(game / "readme.txt", files["readme.txt"]);
  writeFile(game / "tdx.exe", files["tdx.exe"]);
  chmod((game / "tdx.exe").c_str(), 0755);
  writeFile(game / "maps/town.map", "the old town");
  fs::create_directories(game / "sounds");

  // The updater's directory is .../updates/ on the server: the site's
  // updates/ folder is the published one. A decoy at the top shows that
  // nginx serves from the right root.
  ProcessResult published = pack({"publish", "release", "site/updates"}, dir.path());
  ASSERT_EQ(published.exitCode, 0) << published.output;
  writeFile(site / "update.dat", "decoy.pak,1,1,1\n");

  Nginx nginx(dir.path() / "nginx", site);
  std::string base = kUpdateBaseUrl;
  std::string root = base.substr(0, base.find('/', base.find("//") + 2) + 1);
  auto manifest = fetchThrough(nginx.address(), base + "update.dat");
  ASSERT_EQ(manifest.first, 200) << nginx.log("error.log");
  EXPECT_EQ(manifest.second, readFile(site / "updates/update.dat"));
  EXPECT_EQ(fetchThrough(nginx.address(), root + "updates/missing.pak").first, 404);

  ProcessResult updater = runHeadless(BRIGHTWICK_UPDATER, game, nginx.address());
  ASSERT_TRUE(updater.exited) << updater.output;
  EXPECT_EQ(updater.exitCode, 0);
  for (const auto& file : files) EXPECT_EQ(readFile(game / file.first), file.second) << file.first;
  EXPECT_TRUE(waitForFile((game / "game-started").string(), 10s));
  EXPECT_EQ(readFile(game / "game-started"), game.string() + "\n");

  // Every request nginx saw was the updater's absolute-form GET under the
  // built-in URL, and every one was served: the manifest (twice, with the
  // test's own fetch), the three stale files and nothing else.
  ProcessResult stopped = nginx.stop();
  EXPECT_TRUE(stopped.exited);
  std::map<std::string, std::string> served;
  for (const auto& [name, answers] : servedRequests(nginx.log("access.log"))) {
    // Statuses only: "200:506 " -> "200 ".
    for (std::size_t at = 0; at < answers.size(); at = answers.find(' ', at) + 1) {
      served[name] += answers.substr(at, 3) + " ";
    }
  }
  EXPECT_EQ(served, (std::map<std::string, std::string>{{"update.dat", "200 200 "},
                                                        {"missing.pak", "404 "},
                                                        {"maps/town.map", "200 "},
                                                        {"maps/noise.pak", "200 "},
                                                        {"sounds/empty.wav", "200 "}}))
      << nginx.log("access.log");
}

// A whole signed release cycle: a signed publish with patches, served by
// nginx to an updater built without keys (which installs it as it always
// has) and to one with the tests' keys (which installs the next release by
// patch); and the signed updater facing an unsigned folder, which it
// refuses while the game still starts.
TEST(PackWithNginx, SignedReleasesServeOldAndNewUpdatersAndPatchTheNextOne) {
  ScopedTempDir dir;
  // A copy: a signed publish keeps the serial it signed beside the key.
  const std::string key = (dir.path() / "studio.key").string();
  fs::copy_file(std::string(BRIGHTWICK_TEST_DATA) + "/signing-old.key", key);
  fs::copy_file(std::string(BRIGHTWICK_TEST_DATA) + "/signing-old.key.pub", key + ".pub");
  std::string big = makeBytes(1500000, 31, false);
  auto release = [&](const std::string& bigVersion) {
    writeFile(dir.path() / "release/tdx.exe", "#!/bin/sh\npwd > game-started\n");
    writeFile(dir.path() / "release/maps/town.map", makeBytes(300000, 32, true));
    writeFile(dir.path() / "release/data/big.pak", bigVersion);
    ProcessResult published =
        pack({"publish", "--sign", key, "release", "site/updates"}, dir.path());
    ASSERT_EQ(published.exitCode, 0) << published.output;
    ProcessResult verified = pack({"verify", "--key", key + ".pub", "site/updates"}, dir.path());
    ASSERT_EQ(verified.exitCode, 0) << verified.output;
  };
  auto runIn = [&](const char* updater, const fs::path& game, const Nginx& nginx) {
    // The game as installed: its folders (the updater makes none), its
    // launcher current and executable.
    fs::create_directories(game / "data");
    fs::create_directories(game / "maps");
    writeFile(game / "tdx.exe", "#!/bin/sh\npwd > game-started\n");
    chmod((game / "tdx.exe").c_str(), 0755);
    std::error_code ignored;
    fs::remove(game / "game-started", ignored);
    ProcessResult result = runHeadless(updater, game, nginx.address());
    EXPECT_TRUE(result.exited) << result.output;
    EXPECT_TRUE(waitForFile((game / "game-started").string(), 10s));
    return result;
  };
  release(big);
  std::string v2 = big;
  v2.replace(600000, 2000, makeBytes(2000, 33, false));

  {
    Nginx nginx(dir.path() / "nginx", dir.path() / "site");
    // An updater without keys: the fifth fields and the signature are
    // nothing to it.
    runIn(BRIGHTWICK_UPDATER, dir.path() / "old-client", nginx);
    EXPECT_TRUE(readFile(dir.path() / "old-client/data/big.pak") == big);
    runIn(BRIGHTWICK_SIGNED_UPDATER, dir.path() / "new-client", nginx);
    EXPECT_TRUE(readFile(dir.path() / "new-client/data/big.pak") == big);
    nginx.stop();
    std::map<std::string, std::string> served = servedRequests(nginx.log("access.log"));
    // The signature is the signed client's request only; both get the
    // manifest.
    EXPECT_EQ(served["update.dat.sig"].substr(0, 4), "200:");
    EXPECT_EQ(served["update.dat.sig"].find(' '), served["update.dat.sig"].size() - 1);
    std::string manifestSize =
        std::to_string(fs::file_size(dir.path() / "site/updates/update.dat"));
    EXPECT_EQ(served["update.dat"], "200:" + manifestSize + " 200:" + manifestSize + " ");
  }

  // The next release changes 2 KB of the big file: the signed client gets a
  // patch of a few KB instead of the 1.5 MB file.
  release(v2);
  std::remove((dir.path() / "nginx/access.log").c_str());
  {
    Nginx nginx(dir.path() / "nginx", dir.path() / "site");
    runIn(BRIGHTWICK_SIGNED_UPDATER, dir.path() / "new-client", nginx);
    nginx.stop();
    EXPECT_TRUE(readFile(dir.path() / "new-client/data/big.pak") == v2);
    std::map<std::string, std::string> served = servedRequests(nginx.log("access.log"));
    EXPECT_EQ(served.count("data/big.pak"), 0u);
    std::string patch;
    for (const auto& [name, answers] : served) {
      if (name.rfind("update.d/patches/", 0) == 0) patch = answers;
    }
    ASSERT_FALSE(patch.empty());
    EXPECT_LT(std::stol(patch.substr(4)), 20000) << patch;
  }

  // A signed client never accepts an unsigned folder: nothing installed, the
  // game started, one line saying why.
  fs::remove_all(dir.path() / "site");
  ProcessResult unsignedPublish = pack({"publish", "release", "site/updates"}, dir.path());
  ASSERT_EQ(unsignedPublish.exitCode, 0) << unsignedPublish.output;
  writeFile(dir.path() / "refusing/data/big.pak", "old");
  Nginx nginx(dir.path() / "nginx2", dir.path() / "site");
  runIn(BRIGHTWICK_SIGNED_UPDATER, dir.path() / "refusing", nginx);
  EXPECT_EQ(readFile(dir.path() / "refusing/data/big.pak"), "old");
  fs::current_path(dir.path() / "refusing");
  EXPECT_EQ(logMessages(),
            std::vector<std::string>{
                "Download Failed (HTTP status 404):  Error updating update.dat.sig"});
  fs::current_path(dir.path());
}

TEST_F(PackCommandLine, FoldersThatOverlapAreRefusedBeforeAnythingIsWritten) {
  writeFile("release/a.pak", "a");
  // Named from inside the release, the output's relative path says nothing.
  ProcessResult relative = pack({"publish", ".", "out"}, dir.path() / "release");
  EXPECT_EQ(relative.exitCode, 1) << relative.output;
  EXPECT_NE(relative.output.find("must lie apart"), std::string::npos) << relative.output;
  EXPECT_FALSE(fs::exists("release/out"));

  ProcessResult probe = runProcess({"unshare", "-m", "true"}, dir.path().string(), {}, 30s);
  if (probe.exitCode != 0) {
    GTEST_SKIP() << "bind mounts need root in a mount namespace of their own (unshare -m): "
                 << probe.output;
  }
  // unshare -m keeps the mount private to the one command.
  auto publishThroughBind = [&](const std::string& from, const std::string& to,
                                const std::string& release, const std::string& out) {
    return runProcess({"unshare", "-m", "sh", "-c",
                       "mount --bind \"$1\" \"$2\" && exec \"$3\" publish \"$4\" \"$5\"", "sh",
                       from, to, BRIGHTWICK_PACK, release, out},
                      dir.path().string(), {}, 60s);
  };
  fs::create_directories("release/inner");
  fs::create_directories("mnt");
  Tree release = treeOf("release");
  ProcessResult outInside = publishThroughBind("release/inner", "mnt", "release", "mnt/out");
  EXPECT_EQ(outInside.exitCode, 1) << outInside.output;
  EXPECT_NE(outInside.output.find("must lie apart"), std::string::npos) << outInside.output;
  EXPECT_EQ(treeOf("release"), release);

  writeFile("served/sub/b.pak", "b");
  Tree served = treeOf("served");
  ProcessResult releaseInside = publishThroughBind("served/sub", "mnt", "mnt", "served");
  EXPECT_EQ(releaseInside.exitCode, 1) << releaseInside.output;
  EXPECT_NE(releaseInside.output.find("must lie apart"), std::string::npos);
  EXPECT_EQ(treeOf("served"), served);
}

using Release = std::map<std::string, std::string>;

// The names whose content differs between two trees, or that only one has;
// empty if none. Shorter to read than two whole trees of packed bytes.
std::string differences(const Tree& actual, const Tree& expected) {
  std::string names;
  for (const auto& entry : actual) {
    auto other = expected.find(entry.first);
    if (other == expected.end()) {
      names += "+" + entry.first + " ";
    } else if (other->second != entry.second) {
      names += "~" + entry.first + " ";
    }
  }
  for (const auto& entry : expected) {
    if (actual.count(entry.first) == 0) names += "-" + entry.first + " ";
  }
  return names;
}

// A publish of a second version over a first, under faults. The versions
// take every kind of step: a file rewritten at the same size (at level 0 its
// packed file keeps the size too), one rewritten longer, one unchanged, one
// removed with its folder, one added in a new folder.
struct PackFaults : ::testing::Test {
  ScopedTempDir dir;
  Release first = {
      {"tdx.exe", "#!/bin/sh\nexit 0\n"},
      {"maps/town.map", makeBytes(40000, 1, true)},
      {"maps/noise.pak", makeBytes(30000, 2, false)},
      {"readme.txt", "version 1\n"},
      {"sounds/gone.wav", makeBytes(5000, 3, false)},
  };
  Release second;
  fs::path site = dir.path() / "site";
  fs::path out = site / "updates";
  Tree firstTree, secondTree;  // the output folder after a clean publish of each

  void SetUp() override {
    second = first;
    second["maps/town.map"] = makeBytes(40000, 4, true);
    second["readme.txt"] = "version 2, longer\n";
    second.erase("sounds/gone.wav");
    second["maps/new/castle.map"] = makeBytes(20000, 5, true);
    for (const auto& file : first) writeFile(dir.path() / "v1" / file.first, file.second);
    for (const auto& file : second) writeFile(dir.path() / "v2" / file.first, file.second);
    ASSERT_EQ(pack({"publish", "--level", "0", "v2", "reference"}, dir.path()).exitCode, 0);
    secondTree = treeOf(dir.path() / "reference");
    ASSERT_EQ(pack({"publish", "--level", "0", "v1", "site/updates"}, dir.path()).exitCode, 0);
    firstTree = treeOf(out);
    fs::copy(out, dir.path() / "pristine", fs::copy_options::recursive);
  }

  void resetToFirst() {
    fs::remove_all(out);
    fs::copy(dir.path() / "pristine", out, fs::copy_options::recursive);
  }
  ProcessResult publishSecond(const std::map<std::string, std::string>& env = {}) {
    return pack({"publish", "--level", "0", "v2", "site/updates"}, dir.path(), env);
  }
  ProcessResult verifyOut(const std::map<std::string, std::string>& env = {}) {
    return pack({"verify", "site/updates"}, dir.path(), env);
  }

  // A player with no game files yet updates from what nginx serves: every
  // file must arrive as the manifest in place lists it, and nothing else, so
  // no entry is logged.
  void updateFreshGame(const Nginx& nginx, const Release& release) {
    fs::path game = dir.path() / "game";
    fs::remove_all(game);
    for (const char* folder : {"maps/new", "sounds"}) fs::create_directories(game / folder);
    writeFile(game / "tdx.exe", release.at("tdx.exe"));
    chmod((game / "tdx.exe").c_str(), 0755);
    ProcessResult updater = runHeadless(BRIGHTWICK_UPDATER, game, nginx.address());
    ASSERT_TRUE(updater.exited) << updater.output;
    Tree expected;
    for (const auto& file : release) expected[file.first] = file.second;
    for (const char* folder : {"maps", "maps/new", "sounds"}) expected[folder] = "<dir>";
    expected["update.dat"] = readFile(out / "update.dat");
    Tree installed = treeOf(game, "game-started");
    installed.erase("update.lock");  // the updater's own, kept between runs
    EXPECT_EQ(differences(installed, expected), "");
  }
};

TEST_F(PackFaults, AKillAtAnyRenameIsRepairedAndPlayersGetOnlyListedFiles) {
  Nginx nginx(dir.path() / "nginx", site);
  // After odd kill points verify repairs, and a player updates from what it
  // left; after even ones the next publish does. Either is itself killed at
  // each of its own renames in turn first, until one run gets through.
  int renames = 0;
  int repairKills = 0;
  auto untilNotKilled = [&](const std::vector<std::string>& args) {
    ProcessResult result;
    for (int m = 1; m < 50; ++m) {
      result = pack(args, dir.path(), shim(m, "kill"));
      if (result.signal != SIGKILL) break;
      ++repairKills;
    }
    return result;
  };
  auto repairAndCheck = [&](int point, bool rolledBack) {
    if (point % 2 == 1) {
      ProcessResult verified = untilNotKilled({"verify", "site/updates"});
      EXPECT_EQ(verified.exitCode, 0) << verified.output;
      EXPECT_NE(verified.output.find("repaired: "), std::string::npos) << verified.output;
      EXPECT_EQ(differences(treeOf(out), rolledBack ? firstTree : secondTree), "");
      updateFreshGame(nginx, rolledBack ? first : second);
      ProcessResult published = publishSecond();
      EXPECT_EQ(published.exitCode, 0) << published.output;
      EXPECT_EQ(published.output.find("repaired: "), std::string::npos) << published.output;
    } else {
      ProcessResult published = untilNotKilled({"publish", "--level", "0", "v2", "site/updates"});
      EXPECT_EQ(published.exitCode, 0) << published.output;
      EXPECT_NE(published.output.find("repaired: "), std::string::npos) << published.output;
    }
    EXPECT_EQ(differences(treeOf(out), secondTree), "");
    if (point % 2 == 0) updateFreshGame(nginx, second);
  };
  for (int n = 1; n < 50; ++n) {
    SCOPED_TRACE("killed before rename " + std::to_string(n));
    resetToFirst();
    ProcessResult killed = publishSecond(shim(n, "kill"));
    if (killed.signal == 0) {
      ASSERT_EQ(killed.exitCode, 0) << killed.output;
      renames = n - 1;
      break;
    }
    ASSERT_EQ(killed.signal, SIGKILL) << killed.output;
    // Before its last rename (update.dat) the run is undone.
    repairAndCheck(n, true);
  }
  // The journal, three packed files, the records and update.dat.
  EXPECT_EQ(renames, 6);
  SCOPED_TRACE("killed after the last rename");
  resetToFirst();
  ASSERT_EQ(publishSecond(shim(renames, "kill-after")).signal, SIGKILL);
  repairAndCheck(renames + 1, false);
  EXPECT_GT(repairKills, 0);
  std::printf("publish killed at %d points; the runs repairing it killed %d times\n", renames + 1,
              repairKills);
}

TEST_F(PackFaults, AHangUpWhileFilesMoveTakesEffectOnlyAfterTheCommit) {
  for (int n : {1, 3, 6}) {
    SCOPED_TRACE("hang-up at rename " + std::to_string(n));
    resetToFirst();
    ProcessResult hungUp = publishSecond(shim(n, "hup"));
    EXPECT_EQ(hungUp.signal, SIGHUP) << hungUp.output;
    EXPECT_EQ(differences(treeOf(out), secondTree), "");
    ProcessResult verified = verifyOut();
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    EXPECT_EQ(verified.output.find("repaired"), std::string::npos) << verified.output;
  }
}

TEST_F(PackFaults, ASecondRunIntoTheSameFolderIsRefusedAtOnce) {
  fs::path resume = dir.path() / "resume";
  fs::path paused = dir.path() / "paused";
  ASSERT_EQ(mkfifo(resume.c_str(), 0600), 0);
  std::map<std::string, std::string> env = shim(3, "pause");
  env["BRIGHTWICK_SHIM_FIFO"] = resume.string();
  env["BRIGHTWICK_SHIM_MARK"] = paused.string();
  ChildProcess running({BRIGHTWICK_PACK, "publish", "--level", "0", "v2", "site/updates"},
                       dir.path().string(), env);
  ASSERT_TRUE(waitForFile(paused.string(), 30s));

  // The first run holds the lock half-way through its commit.
  Tree during = treeOf(out);
  ProcessResult other = pack({"publish", "v1", "site/updates"}, dir.path());
  EXPECT_EQ(other.exitCode, 1) << other.output;
  EXPECT_NE(other.output.find("another brightwick-pack is publishing into"), std::string::npos)
      << other.output;
  ProcessResult verified = verifyOut();
  EXPECT_EQ(verified.exitCode, 1) << verified.output;
  EXPECT_NE(verified.output.find("is running"), std::string::npos) << verified.output;
  EXPECT_EQ(differences(treeOf(out), during), "");

  int fifo = open(resume.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fifo, 0);
  EXPECT_EQ(write(fifo, "go", 2), 2);
  close(fifo);
  ProcessResult done = running.wait(60s);
  EXPECT_EQ(done.exitCode, 0) << done.output;
  EXPECT_EQ(differences(treeOf(out), secondTree), "");
}

}  // namespace
