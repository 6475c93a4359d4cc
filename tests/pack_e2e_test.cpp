// The brightwick-pack command line, and a whole release cycle with real
// programs: brightwick-pack publishes, nginx serves, brightwick-updater
// updates a game folder.
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

ProcessResult pack(const std::vector<std::string>& args, const fs::path& cwd) {
  std::vector<std::string> argv = {BRIGHTWICK_PACK};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, cwd.string(), {}, 60s);
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
    auto in = [&](const char* name) { return "\"" + (prefix / name).string() + "\""; };
    std::ofstream conf(prefix / "nginx.conf");
    conf << "daemon off;\n"
         // Workers only: nginx crashes taking inherited sockets in
         // single-process mode.
         << "master_process on;\nworker_processes 1;\n"
         // As root, the workers would otherwise become nobody, who cannot
         // read the test's private folder.
         << (geteuid() == 0 ? "user root;\n" : "") << "pid " << in("nginx.pid") << ";\n"
         << "error_log " << in("error.log") << " info;\n"
         << "events { worker_connections 64; }\n"
         << "http {\n"
         << "  access_log " << in("access.log") << ";\n"
         << "  client_body_temp_path " << in("tmp/body") << ";\n"
         << "  proxy_temp_path " << in("tmp/proxy") << ";\n"
         << "  fastcgi_temp_path " << in("tmp/fastcgi") << ";\n"
         << "  uwsgi_temp_path " << in("tmp/uwsgi") << ";\n"
         << "  scgi_temp_path " << in("tmp/scgi") << ";\n"
         << "  default_type application/octet-stream;\n"
         << "  server {\n"
         << "    listen 127.0.0.1:" << port << ";\n"
         << "    root \"" << site.string() << "\";\n"
         << "  }\n"
         << "}\n";
    conf.close();
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

struct PackCommandLine : ::testing::Test {
  ScopedTempDir dir;
};

TEST_F(PackCommandLine, HelpDocumentsEveryOptionAndTheExitCodes) {
  ProcessResult help = pack({"--help"}, dir.path());
  ASSERT_TRUE(help.exited);
  EXPECT_EQ(help.exitCode, 0);
  for (const char* text : {"publish", "verify", "--level", "--exclude", "--force", "--verbose",
                           "--help", "Exit codes", "0 ", "1 ", "2 "}) {
    EXPECT_NE(help.output.find(text), std::string::npos) << text;
  }
  for (const std::vector<std::string>& wrong :
       std::vector<std::vector<std::string>>{{},
                                             {"pack"},
                                             {"publish", "only-one"},
                                             {"publish", "--level", "12", "a", "b"},
                                             {"publish", "--exclude"},
                                             {"verify", "--force", "out"},
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

  ProcessResult updater = runProcess({BRIGHTWICK_UPDATER}, game.string(),
                                     {{"http_proxy", nginx.address()},
                                      {"no_proxy", ""},
                                      {"NO_PROXY", ""},
                                      {"DISPLAY", ""},
                                      {"WAYLAND_DISPLAY", ""}},
                                     60s);
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
  std::string access = nginx.log("access.log");
  // Lines read: ... "GET <base><name> HTTP/1.1" <status> ...
  std::map<std::string, std::string> served;
  std::istringstream lines(access);
  std::string line;
  const std::string request = "\"GET " + base;
  while (std::getline(lines, line)) {
    std::size_t at = line.find(request);
    if (at == std::string::npos) continue;
    at += request.size();
    std::size_t nameEnd = line.find(' ', at);
    std::size_t status = line.find("\" ", nameEnd);
    if (nameEnd == std::string::npos || status == std::string::npos) continue;
    served[line.substr(at, nameEnd - at)] += line.substr(status + 2, 3) + " ";
  }
  EXPECT_EQ(served, (std::map<std::string, std::string>{{"update.dat", "200 200 "},
                                                        {"missing.pak", "404 "},
                                                        {"maps/town.map", "200 "},
                                                        {"maps/noise.pak", "200 "},
                                                        {"sounds/empty.wav", "200 "}}))
      << access;
}

}  // namespace
