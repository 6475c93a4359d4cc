// Fuzzes the publisher and the updater together: a release folder made from
// the input (names and contents of up to four files) is published with
// brightwick-pack's publish(), then read back the way the updater reads it,
// with the core's own manifest rules and engine. Checked on every run:
//
// - a publish that succeeds gives a folder verify() accepts, in which every
//   line is an entry the updater takes, names a release file, and inflates
//   (within the updater's bound) to exactly that file's bytes, with the
//   listed size and CRC; every release file is listed or was excluded;
// - a publish that fails leaves the output folder exactly as it was;
// - publishing the same release again changes nothing and compresses
//   nothing; publishing a changed release (a file rewritten, added or
//   removed, as the input says) converges the same way;
// - after a success no journal is left, and the records describe exactly
//   the packed files and what the manifest lists;
// - the rest of the input, read as the publisher's journal and records (a
//   served folder is anyone's to write) and as a key's state file: a journal
//   that parses names only paths inside the folder, a record keeps a MAC
//   only beside its sums, a state's serial is one an updater takes, and each
//   reads back the same once written.

#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/names.h"
#include "engine/zlib_engine.h"
#include "fuzz_check.h"
#include "journal.h"
#include "pack.h"
#include "reuse_record.h"
#include "serials.h"
#include "update/install.h"
#include "update/manifest.h"

namespace {

namespace fs = std::filesystem;
using Release = std::map<std::string, std::string>;  // manifest name -> bytes
using Tree = std::map<std::string, std::string>;     // relative path -> bytes or "<dir>"

// Reads the input front to back; past its end every read gives zeros.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::string bytes(std::size_t count) {
    std::size_t take = std::min(count, size_ - at_);
    std::string out(reinterpret_cast<const char*>(data_ + at_), take);
    at_ += take;
    return out;
  }
  std::string rest() { return bytes(size_ - at_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

const fs::path& workFolder() {
  static const fs::path folder = [] {
    std::string pattern = (fs::temp_directory_path() / "pack-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    std::atexit([] { fs::remove_all(workFolder()); });
    return fs::path(pattern);
  }();
  return folder;
}

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

Tree treeOf(const fs::path& folder) {
  Tree tree;
  if (!fs::exists(folder)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    tree[entry.path().lexically_relative(folder).string()] =
        entry.is_directory() ? "<dir>" : readBytes(entry.path());
  }
  return tree;
}

// A name the fuzzer chose, as a relative path this machine can create, or ""
// when it cannot be one (an empty, "." or ".." part, a NUL byte, a part too
// long for the file system).
std::string creatableName(const std::string& raw) {
  if (raw.empty() || raw.find('\0') != std::string::npos) return "";
  std::size_t start = 0;
  while (start <= raw.size()) {
    std::size_t end = raw.find('/', start);
    if (end == std::string::npos) end = raw.size();
    std::string part = raw.substr(start, end - start);
    if (part.empty() || part == "." || part == ".." || part.size() > 100) return "";
    start = end + 1;
  }
  return raw;
}

// Writes `release` as a folder; returns what could really be created (a name
// can collide with another's folder).
Release writeRelease(const fs::path& folder, const Release& release) {
  fs::remove_all(folder);
  fs::create_directories(folder);
  Release written;
  for (const auto& [name, bytes] : release) {
    std::error_code error;
    fs::path path = folder / name;
    fs::create_directories(path.parent_path(), error);
    if (error || fs::exists(path)) continue;
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (out.good()) written[name] = bytes;
  }
  return written;
}

bool wasExcluded(const PublishResult& result, const std::string& name) {
  for (const std::string& excluded : result.excluded) {
    if (excluded == name) return true;
    if (!excluded.empty() && excluded.back() == '/' &&
        name.compare(0, excluded.size(), excluded) == 0) {
      return true;
    }
  }
  return false;
}

// Reads the published folder as the updater does and checks it against the
// release it came from.
void checkAsTheUpdaterSees(const fs::path& out, const Release& release,
                           const PublishResult& result) {
  std::ifstream manifest(out / kManifestName, std::ios::binary);
  FUZZ_CHECK(manifest.is_open());
  std::string line;
  std::vector<std::string> fields;
  std::set<std::string> listed;
  static ZlibEngine engine;
  const std::string scratch = (workFolder() / "inflated").string();
  while (readManifestLine(manifest, line)) {
    LineKind kind = parseManifestLine(line, fields);
    if (kind == LineKind::empty) continue;
    FUZZ_CHECK(kind == LineKind::entry);
    const std::string& name = fields[0];
    FUZZ_CHECK(listed.insert(name).second);
    auto source = release.find(name);
    FUZZ_CHECK(source != release.end());
    fs::path packed = out / name;
    // The sizes are compared as text, so they must be plain decimal.
    FUZZ_CHECK(fields[1] == std::to_string(fs::file_size(packed)));
    FUZZ_CHECK(fields[2] == std::to_string(source->second.size()));
    engine.outputLimit = static_cast<std::uint64_t>(sizeBound(readLong32(fields[2])));
    FUZZ_CHECK(engine.decompress(packed.string().c_str(), scratch.c_str()) == Z_OK);
    engine.outputLimit = 0;
    FUZZ_CHECK(readBytes(scratch) == source->second);
    uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(source->second.data()),
                      static_cast<uInt>(source->second.size()));
    FUZZ_CHECK(static_cast<std::uint32_t>(readLong32(fields[3])) ==
               static_cast<std::uint32_t>(crc));
  }
  FUZZ_CHECK(listed.size() == result.listed);
  for (const auto& [name, bytes] : release) {
    FUZZ_CHECK(listed.count(name) == 1 || wasExcluded(result, name));
  }
}

// The publisher's state after a success: no journal, and one record per
// listed file that agrees with its line and its packed file.
void checkRecords(const fs::path& out) {
  FUZZ_CHECK(!fs::exists(out / kServerFolder / kJournalName));
  std::string warning;
  PackedRecords records = parseRecords(readBytes(out / kServerFolder / kRecordsName), &warning);
  FUZZ_CHECK(warning.empty());
  std::ifstream manifest(out / kManifestName, std::ios::binary);
  std::string line;
  std::vector<std::string> fields;
  std::size_t lines = 0;
  while (readManifestLine(manifest, line)) {
    if (parseManifestLine(line, fields) != LineKind::entry) continue;
    ++lines;
    auto record = records.find(fields[0]);
    FUZZ_CHECK(record != records.end());
    FUZZ_CHECK(record->second.packedSize == readLong32(fields[1]));
    FUZZ_CHECK(record->second.size == readLong32(fields[2]));
    FUZZ_CHECK(record->second.crc == static_cast<std::uint32_t>(readLong32(fields[3])));
    std::string packed = readBytes(out / fields[0]);
    FUZZ_CHECK(record->second.packedCrc ==
               static_cast<std::uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(packed.data()),
                                                static_cast<uInt>(packed.size()))));
  }
  FUZZ_CHECK(records.size() == lines);
}

// Whatever a served folder's state files hold, a journal is acted on only
// if every path in it stays inside the folder, and both formats read back
// as they were written.
void checkStateFiles(const std::string& text) {
  Journal journal;
  std::string error;
  if (parseJournal(text, &journal, &error)) {
    auto inside = [](const std::string& path) {
      fs::path normal = fs::path(path).lexically_normal();
      return !normal.empty() && normal.is_relative() && *normal.begin() != ".." &&
             path.find('\\') == std::string::npos;
    };
    FUZZ_CHECK(journal.scratch.rfind(kScratchPrefix, 0) == 0);
    FUZZ_CHECK(journal.scratch.find('/') == std::string::npos);
    for (const std::string& folder : journal.folders) FUZZ_CHECK(inside(folder));
    for (const std::string& gone : journal.deletes) FUZZ_CHECK(inside(gone));
    for (const JournalPut& put : journal.puts) {
      FUZZ_CHECK(inside(put.target));
      FUZZ_CHECK(put.source.find('/') == std::string::npos && inside(put.source));
      FUZZ_CHECK(put.backup.find('/') == std::string::npos);
    }
    Journal again;
    FUZZ_CHECK(parseJournal(formatJournal(journal), &again, &error));
    FUZZ_CHECK(formatJournal(again) == formatJournal(journal));
  }
  std::string warning;
  PackedRecords parsed = parseRecords(text, &warning);
  for (const auto& [name, record] : parsed) FUZZ_CHECK(!record.hasMac || record.hasSha);
  std::string records = formatRecords(parsed);
  FUZZ_CHECK(formatRecords(parseRecords(records, &warning)) == records);
  FUZZ_CHECK(warning.empty());  // what it writes it reads
  std::uint64_t serial = 0;
  if (parseKeyState(text, &serial)) {
    FUZZ_CHECK(serial <= kMostSerial);
    std::uint64_t again = 0;
    FUZZ_CHECK(parseKeyState(formatKeyState(serial), &again) && again == serial);
  }
}

// Publishes `release` over whatever `out` holds and checks the outcome.
void publishAndCheck(const fs::path& releaseDir, const fs::path& out, const Release& wanted,
                     int level, bool expectNoWork) {
  Release release = writeRelease(releaseDir, wanted);
  Tree before = treeOf(out);
  PublishOptions options;
  options.level = level;
  PublishResult result = publish(releaseDir, out, options);
  if (!result.ok) {
    FUZZ_CHECK(!result.errors.empty());
    FUZZ_CHECK(treeOf(out) == before);
    return;
  }
  FUZZ_CHECK(verify(out).ok());
  checkAsTheUpdaterSees(out, release, result);
  checkRecords(out);
  if (expectNoWork) {
    FUZZ_CHECK(result.packed.empty());
    FUZZ_CHECK(!result.manifestChanged);
    FUZZ_CHECK(treeOf(out) == before);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  int level = input.byte() % 10;
  std::size_t count = 1 + input.byte() % 4;
  Release release;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t nameLength = input.byte() % 32;
    std::string name = nameLength == 0 ? "file" + std::to_string(i) : input.bytes(nameLength);
    std::size_t low = input.byte();
    std::size_t length = low | (input.byte() & 0x1fu) << 8;
    std::string bytes = input.bytes(length);
    name = creatableName(name);
    if (!name.empty()) release[name] = bytes;
  }
  const fs::path releaseDir = workFolder() / "release";
  const fs::path out = workFolder() / "out";
  fs::remove_all(out);

  publishAndCheck(releaseDir, out, release, level, false);
  bool published = fs::exists(out / kManifestName);
  if (published) publishAndCheck(releaseDir, out, release, level, true);

  // A changed release: one file rewritten, removed or added, as the rest of
  // the input says.
  std::uint8_t change = input.byte();
  if (!release.empty() && change % 3 != 2) {
    auto it = release.begin();
    std::advance(it, change / 3 % release.size());
    if (change % 3 == 0) {
      it->second = input.bytes(input.byte()) + it->second;
    } else {
      release.erase(it);
    }
  } else {
    std::string name = creatableName(input.bytes(1 + input.byte() % 16));
    if (!name.empty()) release[name] = input.bytes(input.byte());
  }
  publishAndCheck(releaseDir, out, release, level, false);
  checkStateFiles(input.rest());
  return 0;
}
