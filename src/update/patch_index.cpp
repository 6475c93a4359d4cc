#include "update/patch_index.h"

#include <vector>

#include "base/names.h"
#include "hash/hex.h"
#include "update/manifest.h"

namespace {

bool isPlainNumber(const std::string& text) {
  if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
  return text.find_first_not_of("0123456789") == std::string::npos && std::stoll(text) <= INT32_MAX;
}

bool isCrcText(const std::string& text) {
  std::string digits = !text.empty() && text[0] == '-' ? text.substr(1) : text;
  return isPlainNumber(digits) || digits == "2147483648";
}

// A patch path is a URL path below the publisher's folder: it may never
// reach another folder of the server, whatever the index says.
bool isPatchPath(const std::string& path) {
  std::string prefix = std::string(kServerFolder) + "/";
  if (path.compare(0, prefix.size(), prefix) != 0 || path.size() == prefix.size()) return false;
  if (path.size() > kMaxNameLength) return false;
  // The publisher never writes two dots in a row; refusing them anywhere
  // also covers servers that fold "..." or "a../" into a parent folder.
  if (path.find("..") != std::string::npos) return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string component = path.substr(start, end - start);
    if (component.empty() || component == "." || component == "..") return false;
    start = end + 1;
  }
  for (char c : path) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '-' || c == '_' || c == '/';
    if (!plain) return false;
  }
  return true;
}

}  // namespace

Status readPatchLine(const std::string& line, std::string* name, PatchEntry* entry) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = line.find(',', start);
    fields.push_back(line.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (fields.size() == 8 && fields[7] != "zlib") return Status::failure("an unknown form");
  if (fields.size() != 7 && fields.size() != 8) return Status::failure("not seven fields");
  if (!isSafeName(fields[0])) return Status::failure("an unsafe name");
  PatchEntry parsed;
  if (!isPlainNumber(fields[1]) || !isCrcText(fields[2]) || !fromHex(fields[3], &parsed.baseSha)) {
    return Status::failure("a malformed base");
  }
  if (!isPatchPath(fields[4])) {
    return Status::failure("a path outside " + std::string(kServerFolder) + "/");
  }
  if (!isPlainNumber(fields[5]) || !fromHex(fields[6], &parsed.sha)) {
    return Status::failure("a malformed patch");
  }
  parsed.baseSize = readLong32(fields[1]);
  parsed.baseCrc = static_cast<std::uint32_t>(readLong32(fields[2]));
  parsed.path = fields[4];
  parsed.size = readLong32(fields[5]);
  parsed.form = fields.size() == 8 ? PatchForm::zlib : PatchForm::plain;
  *name = fields[0];
  *entry = parsed;
  return Status::success();
}

std::string formatPatchLine(const std::string& name, const PatchEntry& entry) {
  return name + "," + std::to_string(entry.baseSize) + "," +
         std::to_string(static_cast<std::int32_t>(entry.baseCrc)) + "," + toHex(entry.baseSha) +
         "," + entry.path + "," + std::to_string(entry.size) + "," + toHex(entry.sha) +
         (entry.form == PatchForm::zlib ? ",zlib" : "");
}

bool readPatchIndex(std::istream& in, PatchIndex* index) {
  std::string line;
  if (!std::getline(in, line) || line != kPatchIndexFormatLine) return false;
  while (std::getline(in, line)) {
    std::string name;
    PatchEntry entry;
    if (readPatchLine(line, &name, &entry).ok()) index->emplace(name, entry);
  }
  return true;
}
