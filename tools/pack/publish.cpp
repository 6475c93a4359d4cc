#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "exclude.h"
#include "pack.h"
#include "pack_platform.h"
#include "pack_support.h"
#include "platform/platform.h"
#include "shared/names.h"
#include "update/checksum.h"
#include "update/install.h"
#include "update/manifest.h"

namespace fs = std::filesystem;

namespace {

// Scratch folders start with this; the random tail keeps two runs, or a
// crashed run's leftovers, apart.
constexpr char kScratchPrefix[] = ".brightwick-pack-";

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

}  // namespace

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

