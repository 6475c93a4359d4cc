#include "download/resume.h"

#include <memory>
#include <sstream>

#include "platform/game_folder.h"
#include "platform/platform.h"
#include "shared/names.h"

namespace {

constexpr char kFormatLine[] = "brightwick-partial 1";
constexpr std::size_t kMaxRecordSize = 4096;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The value of the line `key value` at `at` in `lines`, or false.
bool take(std::istringstream& lines, const std::string& key, std::string* value) {
  std::string line;
  if (!std::getline(lines, line) || line.compare(0, key.size() + 1, key + " ") != 0) return false;
  *value = line.substr(key.size() + 1);
  return true;
}

}  // namespace

bool findKeptPart(KeptPart* part) {
  std::string text;
  // The last line of a whole record ends with its newline.
  if (!readSmallFile(kPartialRecord, kMaxRecordSize, &text) || text.empty() ||
      text.back() != '\n') {
    return false;
  }
  std::istringstream lines(text);
  std::string format;
  KeptPart kept;
  if (!std::getline(lines, format) || format != kFormatLine ||
      !take(lines, "name", &kept.identity.name) ||
      !take(lines, "size", &kept.identity.packedSize)) {
    return false;
  }
  std::string next;
  std::streampos mark = lines.tellg();
  if (!take(lines, "sha256", &kept.identity.sha256)) {
    lines.clear();
    lines.seekg(mark);
  }
  if (!take(lines, "validator", &kept.validator)) return false;
  FilePtr data(openRegularFile(kPartialFile));
  if (!data) return false;
  kept.bytes = fileLength(data.get());
  if (kept.bytes < 0) return false;
  *part = kept;
  return true;
}

bool beginPart(const PartIdentity& identity, const std::string& validator) {
  // The old part goes first: a record must never describe data it did not
  // see arrive.
  if (!removeFile(kPartialFile)) return false;
  std::string text =
      std::string(kFormatLine) + "\nname " + identity.name + "\nsize " + identity.packedSize + "\n";
  if (!identity.sha256.empty()) text += "sha256 " + identity.sha256 + "\n";
  text += "validator " + validator + "\n";
  // Written in place, without a flush: the old part is already gone, so no
  // earlier record is worth keeping, and a record cut short by a crash
  // either fails to read or names other content (then the part is dropped or
  // the server answers in full). Each file's transfer used to wait for a
  // flush of its own here, which doubled the cost of a small file.
  if (!removeFile(kPartialRecord)) return false;
  {
    FilePtr out(createNewFile(kPartialRecord));
    if (!out) return false;
    bool written = std::fwrite(text.data(), 1, text.size(), out.get()) == text.size();
    if (std::fclose(out.release()) != 0 || !written) return false;
  }
  FilePtr data(createNewFile(kPartialFile));
  return data != nullptr;
}

void discardPart() {
  removeFile(kPartialFile);
  removeFile(kPartialRecord);
}
