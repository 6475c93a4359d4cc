#include <algorithm>
#include <set>
#include <sstream>
#include <system_error>

#include "base/names.h"
#include "exclude.h"
#include "pack_platform.h"
#include "publish_steps.h"
#include "update/manifest.h"

namespace fs = std::filesystem;

namespace {

bool present(const fs::path& path) {
  return fs::exists(statusOf(path));
}

// Whether `inner` is `outer` or lies inside it, by their names; both are
// absolute with links and ".." resolved.
bool isWithin(const fs::path& inner, const fs::path& outer) {
  auto ia = inner.begin();
  for (auto ib = outer.begin(); ib != outer.end(); ++ib, ++ia) {
    if (ib->empty()) continue;  // the trailing "" of "dir/"
    if (ia == inner.end() || *ia != *ib) return false;
  }
  return true;
}

// The identities of `path` and of every folder above it that exists.
std::set<FileIdentity> identitiesUpFrom(const fs::path& path) {
  std::set<FileIdentity> identities;
  for (fs::path at = path; !at.empty(); at = at.parent_path()) {
    FileIdentity identity;
    if (fileIdentity(at, &identity)) identities.insert(identity);
    if (at == at.parent_path()) break;
  }
  return identities;
}

// Whether `folder` or a folder below it is one of `identities`.
bool reaches(const fs::path& folder, const std::set<FileIdentity>& identities) {
  FileIdentity identity;
  if (fileIdentity(folder, &identity) && identities.count(identity) != 0) return true;
  std::error_code error;
  for (fs::recursive_directory_iterator
           it(folder, fs::directory_options::skip_permission_denied, error),
       end;
       !error && it != end; it.increment(error)) {
    std::error_code ignored;
    if (fs::is_directory(it->symlink_status(ignored)) && fileIdentity(it->path(), &identity) &&
        identities.count(identity) != 0) {
      return true;
    }
  }
  return false;
}

// Collects the release's files, sorted by name, with every refusal in
// `result.errors`. Sets `*holdsOutput` if one of its folders is one of
// `outFolders` (the output folder and those above it): then the output lies
// inside the release, reached through a mount.
std::vector<Candidate> walkRelease(const fs::path& release, const PublishOptions& options,
                                   const std::set<FileIdentity>& outFolders, bool* holdsOutput,
                                   PublishResult& result) {
  std::vector<std::string> patterns = builtinExcludes();
  patterns.insert(patterns.end(), options.excludes.begin(), options.excludes.end());
  std::vector<Candidate> files;
  for (fs::recursive_directory_iterator it(release), end; it != end; ++it) {
    const fs::directory_entry& entry = *it;
    fs::path relative = entry.path().lexically_relative(release);
    fs::file_status status = entry.symlink_status();
    FileIdentity identity;
    if (fs::is_directory(status) && fileIdentity(entry.path(), &identity) &&
        outFolders.count(identity) != 0) {
      *holdsOutput = true;
      return {};
    }
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

}  // namespace

bool planRelease(const fs::path& release, const fs::path& out, const PublishOptions& options,
                 std::vector<Candidate>* files, PublishResult& result) {
  // Publishing a folder into itself would list its own output, and a later
  // run would pack that too. Relative names, links and mounts can hide it, so
  // the folders are compared as absolute paths and by identity, and each
  // folder of both trees is looked at, before anything is written.
  fs::path releaseReal = fs::canonical(fs::absolute(release));
  fs::path outReal = fs::weakly_canonical(fs::absolute(out));
  std::set<FileIdentity> outFolders = identitiesUpFrom(outReal);
  std::set<FileIdentity> releaseFolders = identitiesUpFrom(releaseReal);
  FileIdentity releaseIdentity, outIdentity;
  bool apart = !isWithin(outReal, releaseReal) && !isWithin(releaseReal, outReal) &&
               fileIdentity(releaseReal, &releaseIdentity) &&
               outFolders.count(releaseIdentity) == 0 &&
               !(fileIdentity(outReal, &outIdentity) && releaseFolders.count(outIdentity) != 0);
  if (apart) {
    bool holdsOutput = false;
    *files = walkRelease(release, options, outFolders, &holdsOutput, result);
    apart = !holdsOutput && !(present(outReal) && reaches(outReal, releaseFolders));
  }
  if (!apart) {
    result.errors.assign(1,
                         "the release folder and the output folder must lie apart (one must "
                         "not be inside the other, also not through a link or a mount): " +
                             shown(releaseReal) + ", " + shown(outReal));
    files->clear();
  }
  return apart;
}

Previous readPrevious(const fs::path& out, PublishResult& result) {
  Previous previous;
  fs::path manifestPath = out / kManifestName;
  std::error_code error;
  std::uintmax_t size = fs::file_size(manifestPath, error);
  // A manifest the updater would not take is no basis for anything either.
  if (!error && size <= static_cast<std::uintmax_t>(kManifestBound)) {
    previous.manifest = readWholeFile(manifestPath, static_cast<std::uint64_t>(kManifestBound));
    previous.manifestExists = true;
    std::istringstream lines(previous.manifest);
    std::string line;
    std::vector<std::string> fields;
    while (readManifestLine(lines, line)) {
      if (parseManifestLine(line, fields) == LineKind::entry) previous.names.insert(fields[0]);
    }
  }
  fs::path recordsPath = out / kServerFolder / kRecordsName;
  if (present(recordsPath)) {
    previous.recordsText = readWholeFile(recordsPath, kRecordsBound);
    previous.recordsExist = true;
    std::string warning;
    previous.records = parseRecords(previous.recordsText, &warning);
    if (!warning.empty()) {
      result.warnings.push_back(shown(recordsPath) + " is " + warning +
                                "; every file is packed again");
    }
    for (const auto& record : previous.records) previous.names.insert(record.first);
  }
  return previous;
}

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
