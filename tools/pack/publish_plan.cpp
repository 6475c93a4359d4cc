#include <algorithm>
#include <set>
#include <sstream>
#include <system_error>

#include "base/names.h"
#include "exclude.h"
#include "pack_platform.h"
#include "platform/platform.h"
#include "publish_steps.h"
#include "update/manifest.h"
#include "update/patch_index.h"

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

namespace {

// The whole of the regular file `name` if it is there and at most `limit`
// bytes; false otherwise.
bool readSmall(const OutputFolder& out, const std::string& name, std::uint64_t limit,
               std::string* text) {
  if (out.kind(name) != EntryKind::file) return false;
  FilePtr in = openServed(out, name);
  std::int64_t length = fileLength(in.get());
  if (length < 0 || static_cast<std::uint64_t>(length) > limit) return false;
  *text = readWholeStream(in.get(), out.pathOf(name), limit);
  return true;
}

// Whether the served update.dat.sig is `key`'s, and whether it signs the
// served update.dat and update.patches: only then do the serial and the
// patches it vouches for count.
void checkServedSignature(const OutputFolder& out, const SecretKey& key, Previous& previous) {
  std::string text;
  if (!readSmall(out, kSignatureName, kMaxSignatureFileSize, &text)) return;
  SignatureFile& file = previous.signature;
  previous.signatureVerified = parseSignatureFile(text, &file).ok() &&
                               verifySignatureFile(file, {key.publicKey()}).ok();
  if (!previous.signatureVerified) return;
  previous.signatureCoversServed =
      previous.manifestExists && sha256Of(previous.manifest) == file.manifest &&
      file.hasPatchIndex == previous.indexExists &&
      (!previous.indexExists || sha256Of(previous.indexText) == file.patchIndex);
}

}  // namespace

Previous readPrevious(const OutputFolder& out, const SecretKey* key, PublishResult& result) {
  Previous previous;
  // A manifest the updater would not take is no basis for anything either.
  previous.manifestExists = readSmall(out, kManifestName,
                                      static_cast<std::uint64_t>(kManifestBound), &previous.manifest);
  if (previous.manifestExists) {
    std::istringstream lines(previous.manifest);
    std::string line;
    std::vector<std::string> fields;
    while (readManifestLine(lines, line)) {
      if (parseManifestLine(line, fields) == LineKind::entry) previous.names.insert(fields[0]);
    }
  }
  const std::string recordsName = std::string(kServerFolder) + "/" + kRecordsName;
  if (out.kind(recordsName) != EntryKind::missing) {
    previous.recordsText = readServed(out, recordsName, kRecordsBound);
    previous.recordsExist = true;
    std::string warning;
    previous.records = parseRecords(previous.recordsText, &warning);
    if (!warning.empty()) {
      result.warnings.push_back(shown(out.pathOf(recordsName)) + " is " + warning +
                                "; every file is packed again");
    }
    for (const auto& record : previous.records) previous.names.insert(record.first);
  }
  previous.indexExists = readSmall(out, kPatchIndexName,
                                   static_cast<std::uint64_t>(kMaxPatchIndexSize),
                                   &previous.indexText);
  if (key) {
    checkServedSignature(out, *key, previous);
    if (!previous.signatureVerified && out.kind(kSignatureName) != EntryKind::missing) {
      result.warnings.push_back(shown(out.pathOf(kSignatureName)) +
                                " is not signed by this key; its serial and what it signs are "
                                "not believed");
    }
  }
  return previous;
}

void checkOutputShape(const OutputFolder& out, const std::vector<Candidate>& files,
                      PublishResult& result) {
  std::set<std::string> checkedDirs;
  for (const Candidate& file : files) {
    EntryKind kind = out.kind(file.name);
    if (kind != EntryKind::missing && kind != EntryKind::file && kind != EntryKind::blocked) {
      result.errors.push_back(shown(out.pathOf(file.name)) +
                              " exists and is not a plain file; move it away to publish " +
                              quotedName(file.name));
    }
    for (std::string dir = parentName(file.name); !dir.empty(); dir = parentName(dir)) {
      if (!checkedDirs.insert(dir).second) break;
      EntryKind dirKind = out.kind(dir);
      if (dirKind == EntryKind::link) {
        result.errors.push_back(shown(out.pathOf(dir)) +
                                " is a symbolic link or junction, which brightwick-pack never "
                                "follows in the output folder; move it away to publish " +
                                quotedName(file.name));
      } else if (dirKind != EntryKind::missing && dirKind != EntryKind::folder &&
                 dirKind != EntryKind::blocked) {
        result.errors.push_back(shown(out.pathOf(dir)) +
                                " is not a folder, but the release has files in it");
      }
    }
  }
}
