#include "pack.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <system_error>

#include "engine/zlib_engine.h"
#include "pack_platform.h"
#include "platform/platform.h"
#include "shared/names.h"
#include "update/checksum.h"
#include "update/install.h"
#include "update/manifest.h"
#include "update/update_run.h"

namespace fs = std::filesystem;

namespace {

// Reading in large chunks keeps the CRC pass at disk speed; one buffer serves
// the whole run, whatever the file sizes.
constexpr std::size_t kReadChunk = 256 * 1024;
// Scratch folders (publish) and files (verify) start with this; the random
// tail keeps two runs, or a crashed run's leftovers, apart.
constexpr char kScratchPrefix[] = ".brightwick-pack-";
constexpr char kVerifyPrefix[] = "brightwick-pack-verify-";

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The engine with its progress hook wired to a callback, so that the display
// moves inside a large file too.
class ProgressEngine : public ZlibEngine {
 public:
  std::function<void(std::uint64_t)> onBytes;
  void reportProgress(int) override {
    if (onBytes) onBytes(total_in);
  }
};

// A release file that will get a manifest line.
struct Candidate {
  std::string name;   // manifest name
  fs::path relative;  // below the release folder (and the output folder)
  fs::path source;
};

struct OldEntry {
  std::int32_t packedSize;
  std::int32_t unpackedSize;
  std::uint32_t crc;
};

struct OldManifest {
  bool exists = false;
  std::string text;  // kept to tell whether the new one differs
  std::map<std::string, OldEntry> entries;
};

// What a publish has done to the output folder so far, to be undone unless
// it commits.
struct Installed {
  fs::path target;
  fs::path backup;  // empty: the target did not exist before
};
struct Transaction {
  fs::path out;
  fs::path scratch;                   // empty until created
  std::vector<fs::path> createdDirs;  // in creation order
  std::vector<Installed> installed;
  bool committed = false;
};

std::string quotedName(const std::string& name) {
  return "\"" + printableForLog(name) + "\"";
}

std::string shown(const fs::path& path) {
  return quotedName(path.u8string());
}

std::string errnoText() {
  return std::generic_category().message(errno);
}

// Unpredictable enough that a scratch name collides with nothing but another
// run's, which the exclusive creation catches.
std::string randomSuffix() {
  static std::mt19937_64 generator(
      std::random_device{}() ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::ostringstream text;
  text << std::hex << generator();
  return text.str();
}

// Whether `inner` is `outer` or lies inside it, after resolving links and
// "..": publishing a folder into itself would list its own output.
bool isWithin(const fs::path& inner, const fs::path& outer) {
  std::error_code ignored;
  fs::path a = fs::weakly_canonical(inner, ignored);
  fs::path b = fs::weakly_canonical(outer, ignored);
  auto ia = a.begin();
  for (auto ib = b.begin(); ib != b.end(); ++ib, ++ia) {
    if (ib->empty()) continue;  // the trailing "" of "dir/"
    if (ia == a.end() || *ia != *ib) return false;
  }
  return true;
}

fs::file_status statusOf(const fs::path& path) {
  std::error_code ignored;
  return fs::symlink_status(path, ignored);
}

std::string narrowOrThrow(const fs::path& path) {
  std::string narrow;
  if (!narrowPath(path, &narrow)) {
    throw std::runtime_error(shown(path) + " cannot be written in the system's code page");
  }
  return narrow;
}

// A pattern match from `pi` in `pattern` and `si` in `subject`.
bool matchFrom(const std::string& pattern, std::size_t pi, const std::string& subject,
               std::size_t si) {
  while (pi < pattern.size()) {
    char c = pattern[pi];
    if (c == '*') {
      bool crossesFolders = pi + 1 < pattern.size() && pattern[pi + 1] == '*';
      std::size_t next = pi + (crossesFolders ? 2 : 1);
      // "a/**/b" also matches "a/b".
      if (crossesFolders && next < pattern.size() && pattern[next] == '/' &&
          matchFrom(pattern, next + 1, subject, si)) {
        return true;
      }
      for (std::size_t k = si;; ++k) {
        if (matchFrom(pattern, next, subject, k)) return true;
        if (k >= subject.size() || (!crossesFolders && subject[k] == '/')) return false;
      }
    }
    if (si >= subject.size()) return false;
    unsigned char s = static_cast<unsigned char>(subject[si]);
    if (c == '?') {
      if (s == '/') return false;
    } else if (c == '[' && pattern.find(']', pi + 2) != std::string::npos) {
      std::size_t at = pi + 1;
      bool negated = pattern[at] == '!';
      if (negated) ++at;
      bool hit = false;
      // A "]" right after "[" or "[!" is a member, not the end.
      std::size_t first = at;
      for (; at < pattern.size() && (pattern[at] != ']' || at == first); ++at) {
        unsigned char low = static_cast<unsigned char>(pattern[at]);
        unsigned char high = low;
        if (at + 2 < pattern.size() && pattern[at + 1] == '-' && pattern[at + 2] != ']') {
          high = static_cast<unsigned char>(pattern[at + 2]);
          at += 2;
        }
        if (s >= low && s <= high) hit = true;
      }
      // "[]..." or "[!]..." whose only "]" was taken as a member: unclosed,
      // matching nothing.
      if (at >= pattern.size()) return false;
      if (hit == negated || s == '/') return false;
      pi = at;  // on the "]"
    } else if (static_cast<unsigned char>(c) != s) {
      return false;
    }
    ++pi;
    ++si;
  }
  return si == subject.size();
}

bool excludedBy(const std::vector<std::string>& patterns, const std::string& name) {
  for (const std::string& pattern : patterns) {
    if (globMatches(pattern, name)) return true;
  }
  return false;
}

// Collects the release's files, sorted by name, with every refusal in
// `result.errors`.
std::vector<Candidate> walkRelease(const fs::path& release, const PublishOptions& options,
                                   PublishResult& result) {
  std::vector<std::string> patterns = builtinExcludes();
  patterns.insert(patterns.end(), options.excludes.begin(), options.excludes.end());
  std::vector<Candidate> files;
  for (fs::recursive_directory_iterator it(release), end; it != end; ++it) {
    const fs::directory_entry& entry = *it;
    fs::path relative = entry.path().lexically_relative(release);
    fs::file_status status = entry.symlink_status();
    std::string name;
    if (!manifestNameOf(relative, &name)) {
      result.errors.push_back(shown(relative) +
                              ": the name cannot be written in the system's code page, which "
                              "update.dat is read in");
      if (fs::is_directory(status)) it.disable_recursion_pending();
      continue;
    }
    if (excludedBy(patterns, name)) {
      if (fs::is_directory(status)) {
        it.disable_recursion_pending();
        result.excluded.push_back(name + "/");
      } else {
        result.excluded.push_back(name);
      }
      continue;
    }
    if (fs::is_symlink(status)) {
      result.warnings.push_back("skipped " + quotedName(name) + ": a symbolic link");
      continue;
    }
    if (fs::is_directory(status)) continue;
    if (!fs::is_regular_file(status)) {
      result.warnings.push_back("skipped " + quotedName(name) + ": not a regular file");
      continue;
    }
    std::string problem = nameProblem(name);
    if (!problem.empty()) {
      result.errors.push_back(quotedName(name) + ": the name " + problem);
      continue;
    }
    std::uintmax_t size = entry.file_size();
    if (size > static_cast<std::uintmax_t>(INT32_MAX)) {
      result.errors.push_back(quotedName(name) + ": " + std::to_string(size) +
                              " bytes; the updater's sizes are signed 32-bit numbers, so a file "
                              "must be smaller than 2 GiB");
      continue;
    }
    files.push_back({name, relative, entry.path()});
  }
  std::sort(files.begin(), files.end(),
            [](const Candidate& a, const Candidate& b) { return a.name < b.name; });
  return files;
}

OldManifest readOldManifest(const fs::path& path) {
  OldManifest old;
  std::error_code error;
  std::uintmax_t size = fs::file_size(path, error);
  // A manifest the updater would not take is no basis for reuse either.
  if (error || size > static_cast<std::uintmax_t>(kManifestBound)) return old;
  std::ifstream in(path, std::ios::binary);
  if (!in) return old;
  std::ostringstream text;
  text << in.rdbuf();
  old.exists = true;
  old.text = text.str();
  std::istringstream lines(old.text);
  std::string line;
  std::vector<std::string> fields;
  while (readManifestLine(lines, line)) {
    if (parseManifestLine(line, fields) != LineKind::entry) continue;
    old.entries[fields[0]] = {readLong32(fields[1]), readLong32(fields[2]),
                              static_cast<std::uint32_t>(readLong32(fields[3]))};
  }
  return old;
}

// Refuses output folders whose shape the new packed files cannot take
// without deleting something first: a folder where a file goes, or a file
// where a folder goes.
void checkOutputShape(const fs::path& out, const std::vector<Candidate>& files,
                      PublishResult& result) {
  std::set<fs::path> checkedDirs;
  for (const Candidate& file : files) {
    fs::path target = out / file.relative;
    fs::file_status status = statusOf(target);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
      result.errors.push_back(shown(target) +
                              " exists and is not a plain file; move it away to publish " +
                              quotedName(file.name));
    }
    for (fs::path dir = file.relative.parent_path(); !dir.empty(); dir = dir.parent_path()) {
      if (!checkedDirs.insert(dir).second) break;
      fs::file_status dirStatus = statusOf(out / dir);
      if (fs::exists(dirStatus) && !fs::is_directory(dirStatus)) {
        result.errors.push_back(shown(out / dir) +
                                " is not a folder, but the release has files in it");
      }
    }
  }
}

// Creates `dir` and its missing parents, remembering each for the rollback.
void createFolders(Transaction& run, const fs::path& dir) {
  std::vector<fs::path> missing;
  for (fs::path at = dir; !at.empty() && !fs::exists(statusOf(at)); at = at.parent_path()) {
    missing.push_back(at);
    if (at == at.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    fs::create_directory(*it);
    run.createdDirs.push_back(*it);
  }
}

void createScratch(Transaction& run) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = run.out / (kScratchPrefix + randomSuffix());
    if (fs::create_directory(candidate)) {
      run.scratch = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a scratch folder in " + shown(run.out));
}

// A run that was killed (not one that failed) leaves its scratch folder;
// another run may be using its own right now, so they are only reported.
void warnAboutLeftovers(const fs::path& out, PublishResult& result) {
  for (const fs::directory_entry& entry : fs::directory_iterator(out)) {
    std::string name = entry.path().filename().u8string();
    if (name.rfind(kScratchPrefix, 0) == 0) {
      result.warnings.push_back(shown(entry.path()) +
                                " is left from an interrupted run; delete it when no publish runs");
    }
  }
}

// Size and CRC of `file`, reporting every chunk read.
void measure(const Candidate& file, std::vector<unsigned char>& buffer, std::int32_t* size,
             std::uint32_t* crc, const std::function<void(std::uint64_t)>& onBytes) {
  FilePtr in(openShared(narrowOrThrow(file.source), "rb"));
  if (!in) throw std::runtime_error("cannot read " + shown(file.source) + ": " + errnoText());
  std::uint64_t total = 0;
  std::uint32_t sum = 0;
  std::size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0) {
    sum = crc32Update(sum, buffer.data(), got);
    total += got;
    if (total > static_cast<std::uint64_t>(INT32_MAX)) {
      throw std::runtime_error(quotedName(file.name) +
                               " grew to 2 GiB or more while being published");
    }
    onBytes(total);
  }
  if (std::ferror(in.get())) {
    throw std::runtime_error("cannot read " + shown(file.source) + ": " + errnoText());
  }
  *size = static_cast<std::int32_t>(total);
  *crc = sum;
}

bool packedFileMatches(const fs::path& packed, const OldEntry& old) {
  if (!fs::is_regular_file(statusOf(packed))) return false;
  std::error_code error;
  std::uintmax_t size = fs::file_size(packed, error);
  return !error && old.packedSize >= 0 && size == static_cast<std::uintmax_t>(old.packedSize);
}

void writeWholeFile(const fs::path& path, const std::string& text) {
  FilePtr out(openShared(narrowOrThrow(path), "wb"));
  if (!out) throw std::runtime_error("cannot write " + shown(path) + ": " + errnoText());
  bool written = std::fwrite(text.data(), 1, text.size(), out.get()) == text.size();
  // The close flushes; a full disk may only show there.
  if (std::fclose(out.release()) != 0 || !written) {
    throw std::runtime_error("cannot write " + shown(path) + ": " + errnoText());
  }
}

// Moves a finished packed file into place, keeping a hard link (or a copy)
// of the old one so that a later failure can put it back.
void install(Transaction& run, const fs::path& built, const fs::path& target) {
  createFolders(run, target.parent_path());
  Installed done{target, fs::path()};
  if (fs::exists(statusOf(target))) {
    done.backup = run.scratch / ("old-" + std::to_string(run.installed.size()));
    std::error_code error;
    fs::create_hard_link(target, done.backup, error);
    if (error) fs::copy_file(target, done.backup);
  }
  if (!replaceFile(narrowOrThrow(built), narrowOrThrow(target))) {
    throw std::runtime_error("cannot replace " + shown(target) + ": " + errnoText());
  }
  run.installed.push_back(done);
}

// Puts the output folder back as it was; reports what could not be undone.
void rollBack(Transaction& run, PublishResult& result) {
  for (auto it = run.installed.rbegin(); it != run.installed.rend(); ++it) {
    std::error_code error;
    std::string target, backup;
    bool restored = it->backup.empty()
                        ? fs::remove(it->target, error)
                        : narrowPath(it->target, &target) && narrowPath(it->backup, &backup) &&
                              replaceFile(backup, target);
    if (!restored) result.errors.push_back("could not restore " + shown(it->target));
  }
  run.installed.clear();
}

// Removes the scratch folder and, for a run that did not commit, the folders
// it created (the output folder itself included), which only now are empty.
void cleanUp(Transaction& run, PublishResult& result) {
  if (!run.scratch.empty()) {
    std::error_code error;
    fs::remove_all(run.scratch, error);
    if (error) {
      result.warnings.push_back("could not remove the scratch folder " + shown(run.scratch));
    }
  }
  if (run.committed) return;
  for (auto it = run.createdDirs.rbegin(); it != run.createdDirs.rend(); ++it) {
    std::error_code ignored;
    fs::remove(*it, ignored);
  }
}

// Deletes the packed files of names the old manifest listed and the new one
// does not, with the folders that leaves empty. Runs after the new manifest
// is in place, so no new client is sent to them.
void removeUnlisted(const fs::path& out, const OldManifest& old,
                    const std::vector<Candidate>& files, PublishResult& result) {
  std::set<std::string> listed;
  for (const Candidate& file : files) listed.insert(fileSystemKey(file.name));
  for (const auto& entry : old.entries) {
    if (listed.count(fileSystemKey(entry.first)) != 0) continue;
    fs::path relative = manifestNamePath(entry.first);
    fs::path packed = out / relative;
    if (!fs::is_regular_file(statusOf(packed))) continue;
    std::error_code error;
    if (!fs::remove(packed, error)) {
      result.warnings.push_back("could not delete the unlisted " + shown(packed));
      continue;
    }
    result.removed.push_back(entry.first);
    for (fs::path dir = relative.parent_path(); !dir.empty(); dir = dir.parent_path()) {
      if (!fs::is_empty(out / dir, error) || error || !fs::remove(out / dir, error)) break;
    }
  }
}

void publishInto(const fs::path& release, const fs::path& out, const PublishOptions& options,
                 Transaction& run, PublishResult& result) {
  if (options.level < 0 || options.level > 9) {
    result.errors.push_back("the level must be 0 to 9, not " + std::to_string(options.level));
    return;
  }
  if (!fs::is_directory(release)) {
    result.errors.push_back(shown(release) + " is not a folder");
    return;
  }
  fs::file_status outStatus = fs::status(out);
  if (fs::exists(outStatus) && !fs::is_directory(outStatus)) {
    result.errors.push_back(shown(out) + " exists and is not a folder");
    return;
  }
  if (isWithin(out, release) || isWithin(release, out)) {
    result.errors.push_back("the release folder and the output folder must lie apart: " +
                            shown(release) + ", " + shown(out));
    return;
  }

  std::vector<Candidate> files = walkRelease(release, options, result);
  if (!result.errors.empty()) return;
  const fs::path manifestPath = out / kManifestName;
  OldManifest old = readOldManifest(manifestPath);
  checkOutputShape(out, files, result);
  if (!result.errors.empty()) return;

  // Everything below writes; the transaction undoes it on any failure.
  createFolders(run, out);
  warnAboutLeftovers(out, result);
  createScratch(run);

  PackProgress progress;
  progress.filesTotal = files.size();
  auto report = [&](std::uint64_t base, std::uint64_t fileBytes) {
    if (!options.progress) return;
    progress.bytesDone = base + fileBytes;
    options.progress(progress);
  };

  std::vector<unsigned char> buffer(kReadChunk);
  ProgressEngine engine;
  // A packed size must fit the manifest's signed 32-bit field too.
  engine.outputLimit = static_cast<std::uint64_t>(INT32_MAX);
  std::string manifest;
  std::vector<std::pair<fs::path, fs::path>> built;  // scratch file, target
  for (std::size_t i = 0; i < files.size(); ++i) {
    const Candidate& file = files[i];
    progress.current = file.name;
    std::uint64_t base = progress.bytesDone;
    std::error_code error;
    fs::file_time_type writtenBefore = fs::last_write_time(file.source, error);

    std::int32_t size = 0;
    std::uint32_t crc = 0;
    measure(file, buffer, &size, &crc, [&](std::uint64_t bytes) { report(base, bytes); });
    base += static_cast<std::uint64_t>(size);

    fs::path target = out / file.relative;
    auto previous = old.entries.find(file.name);
    if (!options.force && previous != old.entries.end() && previous->second.unpackedSize == size &&
        previous->second.crc == crc && packedFileMatches(target, previous->second)) {
      manifest += formatManifestLine(file.name, previous->second.packedSize, size, crc) + "\n";
      result.reused.push_back(file.name);
    } else {
      fs::path scratchFile = run.scratch / std::to_string(i);
      engine.onBytes = [&](std::uint64_t bytes) { report(base, bytes); };
      engine.total_out = 0;
      int status = engine.compress(narrowOrThrow(file.source).c_str(),
                                   narrowOrThrow(scratchFile).c_str(), options.level);
      if (status != Z_OK) {
        bool tooLarge = engine.total_out > engine.outputLimit;
        throw std::runtime_error(
            "cannot compress " + quotedName(file.name) +
            (tooLarge ? ": it compresses to 2 GiB or more, beyond the updater's sizes"
                      : ": zlib result " + std::to_string(status) +
                            " (unreadable file, or the output folder's disk is full)"));
      }
      fs::file_time_type writtenAfter = fs::last_write_time(file.source, error);
      if (engine.total_in != static_cast<uLong>(size) || writtenAfter != writtenBefore) {
        throw std::runtime_error(quotedName(file.name) + " changed while it was being published");
      }
      std::uintmax_t packedSize = fs::file_size(scratchFile);
      manifest +=
          formatManifestLine(file.name, static_cast<std::int32_t>(packedSize), size, crc) + "\n";
      result.packed.push_back(file.name);
      result.bytesCompressed += static_cast<std::uint64_t>(size);
      built.emplace_back(scratchFile, target);
      base += static_cast<std::uint64_t>(size);
    }
    progress.bytesDone = base;
    progress.filesDone = i + 1;
    report(base, 0);
  }
  result.listed = files.size();
  if (manifest.size() > static_cast<std::size_t>(kManifestBound)) {
    throw std::runtime_error("update.dat would be " + std::to_string(manifest.size()) +
                             " bytes; the updater reads at most " + std::to_string(kManifestBound) +
                             " bytes");
  }

  for (const auto& file : built) install(run, file.first, file.second);
  result.manifestChanged = !old.exists || manifest != old.text;
  if (result.manifestChanged) {
    fs::path scratchManifest = run.scratch / kManifestName;
    writeWholeFile(scratchManifest, manifest);
    if (!replaceFile(narrowOrThrow(scratchManifest), narrowOrThrow(manifestPath))) {
      throw std::runtime_error("cannot replace " + shown(manifestPath) + ": " + errnoText());
    }
  }
  run.committed = true;
  removeUnlisted(out, old, files, result);
}

// One problem line for verify.
std::string problemOf(const std::string& name, const std::string& text) {
  return quotedName(name) + ": " + text;
}

std::string signedCrc(std::uint32_t crc) {
  return std::to_string(static_cast<std::int32_t>(crc));
}

// Checks one entry's packed file by inflating it into `scratch`.
void verifyEntry(const fs::path& out, const std::vector<std::string>& fields,
                 const std::string& scratch, ProgressEngine& engine, VerifyResult& result) {
  const std::string& name = fields[0];
  // The updater compares the sizes as text, so only plain decimal matches.
  for (std::size_t field : {std::size_t{1}, std::size_t{2}}) {
    if (fields[field] != std::to_string(readLong32(fields[field])) ||
        readLong32(fields[field]) < 0) {
      result.problems.push_back(
          problemOf(name, (field == 1 ? "packed size " : "size ") + quotedName(fields[field]) +
                              " is not a plain decimal number, so the updater's size check fails"));
    }
  }
  fs::path packed = out / manifestNamePath(name);
  if (!fs::is_regular_file(statusOf(packed))) {
    result.problems.push_back(problemOf(name, "the packed file is missing"));
    return;
  }
  std::int32_t listedPacked = readLong32(fields[1]);
  std::int32_t listedSize = readLong32(fields[2]);
  std::uint32_t listedCrc = static_cast<std::uint32_t>(readLong32(fields[3]));
  std::error_code error;
  std::uintmax_t packedSize = fs::file_size(packed, error);
  if (!error && packedSize != static_cast<std::uintmax_t>(listedPacked)) {
    result.problems.push_back(problemOf(name, "the packed file has " + std::to_string(packedSize) +
                                                  " bytes, update.dat lists " +
                                                  std::to_string(listedPacked)));
  }
  engine.outputLimit = static_cast<std::uint64_t>(sizeBound(listedSize));
  engine.total_out = 0;
  int status = engine.decompress(narrowOrThrow(packed).c_str(), scratch.c_str());
  if (status != Z_OK) {
    bool tooLarge = engine.total_out > engine.outputLimit;
    result.problems.push_back(problemOf(
        name, tooLarge ? "inflates to more than its listed " + std::to_string(listedSize) +
                             " bytes (stopped after " + std::to_string(engine.outputLimit) + ")"
                       : "does not inflate: not a complete zlib stream (zlib result " +
                             std::to_string(status) + ")"));
    return;
  }
  FilePtr inflated(openShared(scratch, "rb"));
  std::uint32_t crc = 0;
  if (!inflated || !crcOfFile(inflated.get(), &crc)) {
    throw std::runtime_error("cannot read back the scratch file " + quotedName(scratch));
  }
  std::int64_t size = fileLength(inflated.get());
  if (size != listedSize) {
    result.problems.push_back(problemOf(name, "inflates to " + std::to_string(size) +
                                                  " bytes, update.dat lists " +
                                                  std::to_string(listedSize)));
  } else if (crc != listedCrc) {
    result.problems.push_back(problemOf(name, "inflates to data with CRC " + signedCrc(crc) +
                                                  ", update.dat lists " + signedCrc(listedCrc)));
  }
}

}  // namespace

std::string formatManifestLine(const std::string& name, std::int32_t packedSize,
                               std::int32_t unpackedSize, std::uint32_t crc) {
  return name + "," + std::to_string(packedSize) + "," + std::to_string(unpackedSize) + "," +
         signedCrc(crc);
}

std::string nameProblem(const std::string& name) {
  for (char c : name) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      return "holds a control character (a line break, for instance), which update.dat cannot "
             "carry";
    }
  }
  for (char c : name) {
    switch (c) {
      case ',':
        return "holds \",\", which separates the fields of update.dat";
      case ' ':
        return "holds a blank, which the updater's download URL cannot carry";
      case '#':
      case '?':
      case '%':
        return std::string("holds \"") + c +
               "\", which does not travel unchanged in the updater's download URL";
      case '\\':
        return "holds \"\\\", which Windows takes for a folder separator";
      case ':':
        return "holds \":\", which Windows takes for a drive or a stream";
      case '<':
      case '>':
      case '"':
      case '|':
      case '*':
        return std::string("holds \"") + c + "\", which Windows file names cannot";
      default:
        break;
    }
  }
  if (name.size() > kMaxNameLength) {
    return "is longer than the " + std::to_string(kMaxNameLength) + " bytes the updater accepts";
  }
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (end > start && name[end - 1] == '.') {
      return "has a part ending in \".\", which Windows drops";
    }
    start = end + 1;
  }
  if (!isSafeName(name)) {
    return "is refused by the updater: a device name (CON, NUL, COM1, ...) or one of the "
           "updater's own files";
  }
  return std::string();
}

bool globMatches(const std::string& pattern, const std::string& name) {
  bool wholePath = pattern.find('/') != std::string::npos;
  std::string anchored = !pattern.empty() && pattern[0] == '/' ? pattern.substr(1) : pattern;
  std::string subject = wholePath ? name : name.substr(name.rfind('/') + 1);
  return matchFrom(anchored, 0, subject, 0);
}

const std::vector<std::string>& builtinExcludes() {
  static const std::vector<std::string> kExcludes = [] {
    std::vector<std::string> excludes = {"/brightwick-updater", "/brightwick-updater.exe", "*.log"};
    for (const char* own : kReservedNames) excludes.push_back(std::string("/") + own);
    return excludes;
  }();
  return kExcludes;
}

PublishResult publish(const fs::path& releaseDir, const fs::path& outDir,
                      const PublishOptions& options) {
  PublishResult result;
  Transaction run;
  run.out = outDir;
  try {
    publishInto(releaseDir, outDir, options, run, result);
  } catch (const std::exception& error) {
    result.errors.push_back(error.what());
  }
  if (!run.committed) rollBack(run, result);
  cleanUp(run, result);
  result.ok = run.committed && result.errors.empty();
  if (!result.ok) {
    // Nothing of a failed run is left behind, and nothing of it is reported
    // as done.
    result.packed.clear();
    result.reused.clear();
    result.removed.clear();
    result.manifestChanged = false;
  }
  return result;
}

VerifyResult verify(const fs::path& outDir, const ProgressFn& progress) {
  VerifyResult result;
  fs::path manifestPath = outDir / kManifestName;
  std::error_code error;
  std::uintmax_t manifestSize = fs::file_size(manifestPath, error);
  if (error) {
    result.problems.push_back(shown(manifestPath) + " cannot be read: " + error.message());
    return result;
  }
  if (manifestSize > static_cast<std::uintmax_t>(kManifestBound)) {
    result.problems.push_back(shown(manifestPath) + " has " + std::to_string(manifestSize) +
                              " bytes; the updater reads at most " +
                              std::to_string(kManifestBound));
    return result;
  }

  std::vector<std::vector<std::string>> entries;
  {
    std::ifstream in(manifestPath, std::ios::binary);
    std::string line;
    std::vector<std::string> fields;
    std::set<std::string> seen;
    for (std::size_t number = 1; readManifestLine(in, line); ++number) {
      std::string where = "update.dat line " + std::to_string(number) + ": ";
      switch (parseManifestLine(line, fields)) {
        case LineKind::empty:
          break;
        case LineKind::malformed:
          result.problems.push_back(where +
                                    "fewer than four fields or no name: " + quotedName(line));
          break;
        case LineKind::unsafeName:
          result.problems.push_back(where + "the updater refuses the name " +
                                    quotedName(fields[0]));
          break;
        case LineKind::entry:
          if (!seen.insert(fileSystemKey(fields[0])).second) {
            result.problems.push_back(where + quotedName(fields[0]) + " is listed twice");
          } else {
            entries.push_back(fields);
          }
          break;
      }
    }
  }

  fs::path scratch = fs::temp_directory_path() / (kVerifyPrefix + randomSuffix());
  struct RemoveScratch {
    const fs::path& path;
    ~RemoveScratch() {
      std::error_code ignored;
      fs::remove(path, ignored);
    }
  } removeScratch{scratch};
  std::string scratchText = narrowOrThrow(scratch);

  PackProgress shownProgress;
  shownProgress.filesTotal = entries.size();
  ProgressEngine engine;
  std::uint64_t base = 0;
  engine.onBytes = [&](std::uint64_t bytes) {
    if (!progress) return;
    shownProgress.bytesDone = base + bytes;
    progress(shownProgress);
  };
  for (const std::vector<std::string>& fields : entries) {
    shownProgress.current = fields[0];
    engine.total_in = 0;
    try {
      verifyEntry(outDir, fields, scratchText, engine, result);
    } catch (const std::exception& failure) {
      result.problems.push_back(problemOf(fields[0], failure.what()));
    }
    base += engine.total_in;
    ++result.checked;
    ++shownProgress.filesDone;
    shownProgress.bytesDone = base;
    if (progress) progress(shownProgress);
  }
  return result;
}
