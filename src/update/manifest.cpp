#include "update/manifest.h"

#include <cstring>

#include "base/names.h"

namespace {

constexpr char kEndOfFile = '\x1a';

bool isSeparator(char c) {
  return c == '/' || c == '\\';
}

bool isControl(unsigned char c) {
  return c < 0x20 || c == 0x7f;
}

char asciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool equalsIgnoringAsciiCase(const std::string& text, const char* word) {
  std::size_t i = 0;
  for (; word[i] != '\0'; ++i) {
    if (i >= text.size() || asciiUpper(text[i]) != asciiUpper(word[i])) return false;
  }
  return i == text.size();
}

// Windows opens a device, not a file, for these names whatever the
// extension ("nul.txt" too).
bool isDeviceName(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (equalsIgnoringAsciiCase(base, device)) return true;
  }
  if (base.size() == 4 && base[3] >= '1' && base[3] <= '9') {
    std::string stem = base.substr(0, 3);
    if (equalsIgnoringAsciiCase(stem, "COM") || equalsIgnoringAsciiCase(stem, "LPT")) return true;
  }
  return false;
}

// Windows drops trailing dots and blanks from a path component, so ".. " and
// "..." are as dangerous as "..", and " " names no folder at all.
bool isDotsOrBlanksOnly(const std::string& component) {
  if (component.empty() || component == ".") return false;
  return component.find_first_not_of(". ") == std::string::npos;
}

// "temp.ahead." and digits, in any case: a scratch file of a transfer fetched
// ahead.
bool isAheadScratchName(const std::string& name) {
  const std::size_t prefix = sizeof kAheadScratchPrefix - 1;
  if (name.size() <= prefix ||
      !equalsIgnoringAsciiCase(name.substr(0, prefix), kAheadScratchPrefix)) {
    return false;
  }
  return name.find_first_not_of("0123456789", prefix) == std::string::npos;
}

}  // namespace

bool readManifestLine(UpdateManifest& in, std::string& line) {
  if (!std::getline(in, line)) return false;
  bool endedByLf = !in.eof();
  std::size_t stop = line.find(kEndOfFile);
  if (stop != std::string::npos) {
    line.erase(stop);
    in.setstate(std::ios::eofbit);
    endedByLf = false;
  }
  if (endedByLf && !line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

ManifestFields splitManifestLine(const std::string& line) {
  ManifestFields fields;
  std::size_t start = 0;
  while (fields.size() < kManifestFields) {
    std::size_t comma = line.find(',', start);
    if (comma == std::string::npos) {
      fields.push_back(line.substr(start));
      break;
    }
    fields.push_back(line.substr(start, comma - start));
    start = comma + 1;
  }
  return fields;
}

std::int32_t readLong32(const std::string& text) {
  std::size_t i = 0;
  // strtol's white space in the C locale.
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Saturate one step past the 32-bit range; the sign decides the clamp.
  constexpr std::int64_t kCeiling = std::int64_t{1} << 31;
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kCeiling) value = kCeiling;
  }
  if (negative) return static_cast<std::int32_t>(-value);
  return value >= kCeiling ? INT32_MAX : static_cast<std::int32_t>(value);
}

bool isSafeName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  if (isSeparator(name.front()) || isSeparator(name.back())) return false;
  for (char c : name) {
    if (isControl(static_cast<unsigned char>(c)) || c == ':') return false;
  }
  // The file the name reaches, for the comparison with the updater's own
  // files: "./temp", "temp." and "TEMP " all reach "temp", because "." and
  // empty components vanish and Windows drops trailing dots and blanks.
  std::string reached;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !isSeparator(name[end])) ++end;
    std::string component = name.substr(start, end - start);
    if (isDotsOrBlanksOnly(component) || isDeviceName(component)) return false;
    while (!component.empty() && (component.back() == '.' || component.back() == ' ')) {
      component.pop_back();
    }
    if (!component.empty()) reached += (reached.empty() ? "" : "/") + component;
    start = end + 1;
  }
  // "." and the like name the game folder itself, which is no file.
  if (reached.empty()) return false;
  std::string top = reached.substr(0, reached.find('/'));
  for (const char* own : kReservedNames) {
    if (equalsIgnoringAsciiCase(reached, own)) return false;
  }
  if (isAheadScratchName(reached)) return false;
  return !equalsIgnoringAsciiCase(top, kServerFolder);
}

std::string hashFieldOf(const std::string& line) {
  std::size_t start = 0;
  for (std::size_t comma = 0; comma < kManifestFields; ++comma) {
    start = line.find(',', start);
    if (start == std::string::npos) return std::string();
    ++start;
  }
  return line.substr(start, line.find(',', start) - start);
}

bool isHashField(const std::string& field) {
  if (field.size() != 64) return false;
  for (char c : field) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

LineKind parseManifestLine(const std::string& line, ManifestFields& fields) {
  if (line.empty()) return LineKind::empty;
  fields = splitManifestLine(line);
  if (fields.size() < kManifestFields || fields[0].empty()) return LineKind::malformed;
  if (!isSafeName(fields[0])) return LineKind::unsafeName;
  return LineKind::entry;
}

std::string urlPathOf(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string path;
  path.reserve(name.size());
  for (char c : name) {
    unsigned char byte = static_cast<unsigned char>(c);
    bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                 (byte >= '0' && byte <= '9') || std::strchr("-._~/\\!$&'()*+,;=:@", c) != nullptr;
    if (plain && byte != 0) {
      path += c;
    } else {
      path += '%';
      path += kHex[byte >> 4];
      path += kHex[byte & 0xF];
    }
  }
  return path;
}

ManifestEntry entryOf(const ManifestFields& fields, const std::string& sha256) {
  ManifestEntry entry;
  entry.name = fields[0];
  entry.packedSizeText = fields[1];
  entry.unpackedSizeText = fields[2];
  entry.packedSize = readLong32(fields[1]);
  entry.unpackedSize = readLong32(fields[2]);
  entry.checksum = static_cast<std::uint32_t>(readLong32(fields[3]));
  entry.sha256 = sha256;
  return entry;
}

std::int64_t sizeBound(std::int32_t listedSize) {
  return (listedSize > 0 ? listedSize : 0) + kSizeSlack;
}
