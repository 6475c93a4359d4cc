// brightwick-pack: the publisher's command line. See usage() for what it
// does; pack.h for how.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "pack.h"
#include "pack_platform.h"
#include "signing.h"

namespace {

// Set by Ctrl-C, a closed terminal or a termination request; the next
// progress report turns it into a failed run, which publish undoes, rather
// than a killed one. While files move into place the library holds these
// off, so the run then completes first.
volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void onInterrupt(int) {
  gInterrupted = 1;
}

const char kUsage[] =
    "Usage:\n"
    "  brightwick-pack publish [options] RELEASE_DIR OUT_DIR\n"
    "  brightwick-pack verify [--key PUBLIC_KEY] [--release RELEASE_DIR] OUT_DIR\n"
    "  brightwick-pack keygen KEY_FILE\n"
    "  brightwick-pack --help\n"
    "\n"
    "publish   Makes OUT_DIR the folder the updater downloads from: every file of\n"
    "          the game's release folder RELEASE_DIR as a zlib stream under the\n"
    "          same relative name, and the manifest OUT_DIR/update.dat listing\n"
    "          them (name,packedSize,unpackedSize,checksum; sorted by name).\n"
    "          Serve OUT_DIR as the updater's .../updates/ directory.\n"
    "\n"
    "          Incremental: a file is not compressed again while it and its\n"
    "          packed file match the record kept of them in OUT_DIR/update.d;\n"
    "          signed, only a record the key vouches for (a MAC), or a packed\n"
    "          file that inflates to the release file's very bytes, counts.\n"
    "          Nothing below OUT_DIR is reached through a symbolic link.\n"
    "          Packed files of names the release no longer has are deleted.\n"
    "\n"
    "          Safe while players download: new packed files are moved into place\n"
    "          atomically and update.dat is replaced last. A run that is refused or\n"
    "          fails, or is interrupted with Ctrl-C, a hang-up or SIGTERM, leaves\n"
    "          OUT_DIR exactly as it was; while files move into place these wait\n"
    "          until the moves are done. One run at a time: a second publish or\n"
    "          verify into the same folder stops at once. A run that was killed\n"
    "          is rolled back or completed by the next publish or verify, which\n"
    "          says what it repaired. RELEASE_DIR and OUT_DIR must lie apart.\n"
    "\n"
    "          Refused, naming the file, with nothing written: files of 2 GiB or\n"
    "          more; names with a comma, a control character (line break), a blank,\n"
    "          \"#\", \"?\", \"%\", \"\\\", \":\", a character Windows file names cannot\n"
    "          hold, a part ending in \".\", or a Windows device name (CON, NUL...).\n"
    "          Symbolic links and special files are skipped with a warning.\n"
    "          Always left out: the names the updater and the publisher keep for\n"
    "          themselves at the top (update.dat, update.d, temp, temp.download,\n"
    "          temp.updater-old...), and *.log anywhere. The updater's own program\n"
    "          is published like any other file: it replaces itself.\n"
    "\n"
    "          The updater makes the folders a release adds (earlier updaters\n"
    "          made none: their players need the folders from the installer).\n"
    "\n"
    "keygen    Makes a signing key pair: KEY_FILE, the secret key (readable by\n"
    "          its owner only; never overwritten), and KEY_FILE.pub, the public\n"
    "          key, which is also printed: the line to build into the updater\n"
    "          (UPDATE_PUBLIC_KEYS). Keep KEY_FILE off the update server.\n"
    "\n"
    "verify    Inflates every file update.dat lists in OUT_DIR and checks its\n"
    "          packed size, size and CRC-32 against the manifest, applies every\n"
    "          patch of update.patches to its base and checks the result (and that\n"
    "          the updater accepts every line); with --release, also each file's\n"
    "          content against the release. Prints each problem. Changes nothing\n"
    "          but for repairing a killed publish first; the scratch file goes\n"
    "          to the system's temporary folder (TMPDIR).\n"
    "\n"
    "Options (publish):\n"
    "  --level N       zlib compression level, 0 (store) to 9 (smallest; default)\n"
    "  --exclude GLOB  leave out matching files or folders; may be repeated. A GLOB\n"
    "                  without \"/\" matches a name at any depth (\"*.pdb\", \"saves\");\n"
    "                  one with \"/\" matches the path from the top (\"tools/*\",\n"
    "                  \"/notes.txt\"). \"*\" and \"?\" stay within a folder, \"**\"\n"
    "                  crosses folders, \"[a-z]\" and \"[!0-9]\" match one character.\n"
    "                  Quote it so that the shell leaves it alone.\n"
    "  --force         compress every file again, reusing nothing; with --sign,\n"
    "                  also sign a serial more than a year ahead of the clock\n"
    "  --sign KEY_FILE sign the publish with the secret key KEY_FILE: each line of\n"
    "                  update.dat gets the SHA-256 of its packed file as a fifth\n"
    "                  field (older updaters ignore it), and update.dat.sig is\n"
    "                  written beside it, replaced with update.dat as one step.\n"
    "                  Its serial counts on from the last one the key signed,\n"
    "                  kept in KEY_FILE.state (the key's folder must be writable)\n"
    "  --deltas N      with --sign: for each changed file, binary delta patches\n"
    "                  from its N previous published versions (default 2; 0: none),\n"
    "                  each kept only when clearly smaller than the packed file,\n"
    "                  listed in update.patches, which the signature covers. The\n"
    "                  earlier versions are kept in OUT_DIR/update.d/history, and\n"
    "                  what no patch needs any more is deleted. Signed updaters\n"
    "                  whose file is one of those versions download the patch.\n"
    "  -v, --verbose   list every file: packed, unchanged, removed or left out\n"
    "\n"
    "Options (verify):\n"
    "  --key PUBLIC_KEY  also check update.dat.sig with this public key (a .pub\n"
    "                  file, or the key's text) and every packed file's SHA-256\n"
    "  --release RELEASE_DIR  also check that every packed file inflates to the\n"
    "                  very bytes of the release file of its name: for a served\n"
    "                  folder that someone else may have written\n"
    "\n"
    "Options (all):\n"
    "  -h, --help      show this text\n"
    "\n"
    "On a terminal, progress (files, bytes read, rate) is shown on stderr; it is\n"
    "quiet otherwise. The summary goes to stdout, warnings and errors to stderr.\n"
    "\n"
    "Exit codes:\n"
    "  0  done (verify: no problem found)\n"
    "  1  publish refused or failed, or another run holds OUT_DIR; OUT_DIR\n"
    "     unchanged but for a repair it reports (verify: problems found)\n"
    "  2  the command line was not understood\n"
    "\n"
    "Example:\n"
    "  brightwick-pack publish --exclude '*.pdb' release/2.1 /srv/www/tdx/updates\n"
    "  brightwick-pack verify /srv/www/tdx/updates\n"
    "  brightwick-pack keygen ~/keys/tdx-2026.key\n"
    "  brightwick-pack publish --sign ~/keys/tdx-2026.key release/2.1 /srv/www/tdx/updates\n"
    "  brightwick-pack verify --key ~/keys/tdx-2026.key.pub /srv/www/tdx/updates\n";

// One line of progress on stderr, rewritten in place, at most ten times a
// second; only on a terminal, so logs and pipes get none of it.
struct ProgressLine {
  bool enabled = false;
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastShown;
  std::size_t width = 0;
};

std::string bytesText(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

void showProgress(ProgressLine& line, const PackProgress& progress) {
  if (gInterrupted) throw std::runtime_error("interrupted");
  if (!line.enabled) return;
  auto now = std::chrono::steady_clock::now();
  bool last = progress.filesDone == progress.filesTotal;
  if (!last && now - line.lastShown < std::chrono::milliseconds(100)) return;
  line.lastShown = now;
  double seconds = std::chrono::duration<double>(now - line.started).count();
  std::string text = std::to_string(progress.filesDone) + "/" +
                     std::to_string(progress.filesTotal) + " files, " +
                     bytesText(static_cast<double>(progress.bytesDone)) + " read";
  if (seconds > 0.5) text += ", " + bytesText(progress.bytesDone / seconds) + "/s";
  if (!last) text += "  " + progress.current;
  // Fit an 80-column terminal; pad over what the previous line left.
  if (text.size() > 79) text.resize(79);
  std::size_t width = text.size();
  if (text.size() < line.width) text.append(line.width - text.size(), ' ');
  line.width = width;
  std::fprintf(stderr, "\r%s", text.c_str());
  std::fflush(stderr);
}

void endProgress(ProgressLine& line) {
  if (line.enabled && line.width > 0) std::fprintf(stderr, "\n");
  line.width = 0;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "brightwick-pack: %s\nTry 'brightwick-pack --help'.\n", message.c_str());
  return kExitUsage;
}

std::string files(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " file" : " files");
}

void printAll(std::FILE* stream, const char* prefix, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) std::fprintf(stream, "%s%s\n", prefix, line.c_str());
}

int runPublish(const std::filesystem::path& release, const std::filesystem::path& out,
               PublishOptions options, bool verbose) {
  ProgressLine line;
  line.enabled = isTerminal(stderr);
  options.progress = [&line](const PackProgress& progress) { showProgress(line, progress); };
  PublishResult result = publish(release, out, options);
  endProgress(line);
  printAll(stderr, "repaired: ", result.repairs);
  printAll(stderr, "warning: ", result.warnings);
  if (!result.ok) {
    printAll(stderr, "error: ", result.errors);
    std::fprintf(stderr, "Nothing was published; %s is as %s.\n", out.u8string().c_str(),
                 result.repairs.empty() ? "it was" : "the repair left it");
    return kExitFailure;
  }
  if (verbose) {
    printAll(stdout, "packed     ", result.packed);
    printAll(stdout, "unchanged  ", result.reused);
    printAll(stdout, "removed    ", result.removed);
    printAll(stdout, "left out   ", result.excluded);
  }
  std::string signature;
  if (!result.keyId.empty()) {
    signature = result.serial != 0 ? "; signed with key " + result.keyId + ", serial " +
                                         std::to_string(result.serial)
                                   : "; its signature by key " + result.keyId + " stands";
  }
  std::string patches;
  if (result.patchesServed > 0 || result.patchesMade > 0) {
    patches = "; " + std::to_string(result.patchesMade) +
              (result.patchesMade == 1 ? " patch made, " : " patches made, ") +
              std::to_string(result.patchesServed) + " served";
  }
  std::printf("Published %s to %s: %zu packed (%s), %zu unchanged, %zu removed; %s%s%s.\n",
              files(result.listed).c_str(), out.u8string().c_str(), result.packed.size(),
              bytesText(static_cast<double>(result.bytesCompressed)).c_str(), result.reused.size(),
              result.removed.size(),
              result.manifestChanged ? "update.dat replaced" : "update.dat unchanged",
              signature.c_str(), patches.c_str());
  return kExitSuccess;
}

int runKeygen(const std::filesystem::path& keyFile) {
  PublicKey key;
  std::string why;
  if (!generateKeyFiles(keyFile, &key, &why)) {
    std::fprintf(stderr, "error: cannot make %s: %s\n", keyFile.u8string().c_str(), why.c_str());
    return kExitFailure;
  }
  std::fprintf(stderr,
               "Secret key: %s (keep it safe and off the update server).\n"
               "Public key: %s.pub, the line below; build it into the updater with\n"
               "UPDATE_PUBLIC_KEYS.\n",
               keyFile.u8string().c_str(), keyFile.u8string().c_str());
  std::printf("%s\n", formatPublicKey(key).c_str());
  return kExitSuccess;
}

int runVerify(const std::filesystem::path& out, const std::string& keyArgument,
              const std::filesystem::path& release) {
  PublicKey key;
  if (!keyArgument.empty()) {
    std::string why;
    if (!loadPublicKey(keyArgument, &key, &why)) {
      std::fprintf(stderr, "error: %s\n", why.c_str());
      return kExitFailure;
    }
  }
  ProgressLine line;
  line.enabled = isTerminal(stderr);
  VerifyResult result;
  try {
    result = verify(out, [&line](const PackProgress& progress) { showProgress(line, progress); },
                    keyArgument.empty() ? nullptr : &key, release);
  } catch (const std::exception& error) {
    endProgress(line);
    std::fprintf(stderr, "error: %s\n", error.what());
    return kExitFailure;
  }
  endProgress(line);
  printAll(stderr, "repaired: ", result.repairs);
  if (!result.ok()) {
    printAll(stderr, "problem: ", result.problems);
    std::fprintf(stderr, "%zu problem(s) in %s (%s checked).\n", result.problems.size(),
                 out.u8string().c_str(), files(result.checked).c_str());
    return kExitFailure;
  }
  std::string patches =
      result.patchesChecked > 0
          ? ", " + std::to_string(result.patchesChecked) +
                (result.patchesChecked == 1 ? " patch gives its file" : " patches give their files")
          : "";
  std::printf("%s in %s checked: each inflates to its listed size and CRC%s%s%s.\n",
              files(result.checked).c_str(), out.u8string().c_str(),
              release.empty() ? "" : " and to its release file's bytes", patches.c_str(),
              keyArgument.empty() ? ""
                                  : (", the signature by key " + key.id() + " (serial " +
                                     std::to_string(result.serial) +
                                     ") holds, and every packed file is the one signed")
                                        .c_str());
  return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kExitSuccess;
    }
  }
  if (args.empty()) return usageError("no command given");
  const std::string command = args[0];
  if (command != "publish" && command != "verify" && command != "keygen") {
    return usageError("unknown command '" + command + "'");
  }

  PublishOptions options;
  bool verbose = false;
  std::string publicKey;
  std::filesystem::path releaseToCompare;
  std::vector<std::filesystem::path> operands;
  bool optionsEnded = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // argv index of args[i] is i + 1.
    int index = static_cast<int>(i) + 1;
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      operands.push_back(pathArgument(index, argv[index]));
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (command == "publish" && (arg == "--level" || arg == "--exclude")) {
      if (i + 1 >= args.size()) return usageError(arg + " needs a value");
      const std::string& value = args[++i];
      if (arg == "--exclude") {
        if (value.empty()) return usageError("--exclude needs a pattern");
        options.excludes.push_back(value);
      } else if (value.size() != 1 || value[0] < '0' || value[0] > '9') {
        return usageError("--level takes 0 to 9, not '" + value + "'");
      } else {
        options.level = value[0] - '0';
      }
    } else if ((command == "publish" && arg == "--sign") ||
               (command == "verify" && (arg == "--key" || arg == "--release"))) {
      if (i + 1 >= args.size() || args[i + 1].empty()) return usageError(arg + " needs a value");
      ++i;
      if (arg == "--sign") {
        options.signingKey = pathArgument(index + 1, argv[index + 1]);
      } else if (arg == "--release") {
        releaseToCompare = pathArgument(index + 1, argv[index + 1]);
      } else {
        publicKey = args[i];
      }
    } else if (command == "publish" && arg == "--deltas") {
      if (i + 1 >= args.size()) return usageError("--deltas needs a number");
      const std::string& value = args[++i];
      if (value.empty() || value.size() > 2 ||
          value.find_first_not_of("0123456789") != std::string::npos) {
        return usageError("--deltas takes a number of versions, 0 to 99, not '" + value + "'");
      }
      options.deltas = std::stoi(value);
    } else if (command == "publish" && arg == "--force") {
      options.force = true;
    } else if (command == "publish" && (arg == "-v" || arg == "--verbose")) {
      verbose = true;
    } else {
      return usageError("unknown option '" + arg + "' for " + command);
    }
  }

  onInterruptRequest(onInterrupt);
  if (command == "publish") {
    if (operands.size() != 2) return usageError("publish takes RELEASE_DIR and OUT_DIR");
    return runPublish(operands[0], operands[1], options, verbose);
  }
  if (command == "keygen") {
    if (operands.size() != 1) return usageError("keygen takes KEY_FILE");
    return runKeygen(operands[0]);
  }
  if (operands.size() != 1) return usageError("verify takes OUT_DIR");
  if (!releaseToCompare.empty() && !std::filesystem::is_directory(releaseToCompare)) {
    return usageError("--release takes the release folder, and " + releaseToCompare.u8string() +
                      " is not one");
  }
  return runVerify(operands[0], publicKey, releaseToCompare);
}
