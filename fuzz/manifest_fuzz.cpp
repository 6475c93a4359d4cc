// Fuzzes the manifest from bytes to decisions: every line as readManifestLine
// reads it, classified by parseManifestLine, its numbers read by readLong32
// and its name judged by isSafeName. Each result is checked against a
// reference written here independently of the core, and against the
// properties the update run relies on: an accepted name never leaves the
// game folder and never names one of the updater's own files.

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "base/names.h"
#include "fuzz_check.h"
#include "log/printable.h"
#include "update/manifest.h"

namespace {

// The manifest's lines by the rules of the format, computed in one pass over
// the bytes: LF ends a line and takes one CR before it along; 0x1A ends the
// file, and the text before it is a last line even when it is empty.
std::vector<std::string> referenceLines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t end = bytes.find('\x1a');
  bool cut = end != std::string::npos;
  std::string text = bytes.substr(0, end);
  std::size_t start = 0;
  for (;;) {
    std::size_t lf = text.find('\n', start);
    if (lf == std::string::npos) break;
    std::string line = text.substr(start, lf - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = lf + 1;
  }
  if (cut || start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// strtol with base 10 on a 32-bit long: the C library's own reading, clamped.
std::int32_t referenceLong32(const std::string& text) {
  errno = 0;
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

bool isSeparator(char c) {
  return c == '/' || c == '\\';
}

char foldCase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The file a name reaches on the most forgiving of the target systems:
// either slash separates, "." and empty components vanish, trailing dots and
// blanks of a component are dropped (Windows), and case does not matter.
std::string reachedFile(const std::string& name) {
  std::string reached;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !isSeparator(name[end])) ++end;
    std::string component = name.substr(start, end - start);
    while (!component.empty() && (component.back() == '.' || component.back() == ' ')) {
      component.pop_back();
    }
    if (!component.empty()) {
      if (!reached.empty()) reached += '/';
      for (char c : component) reached += foldCase(c);
    }
    start = end + 1;
  }
  return reached;
}

void checkAcceptedName(const std::string& name) {
  FUZZ_CHECK(!name.empty());
  FUZZ_CHECK(name.size() <= kMaxNameLength);
  FUZZ_CHECK(!isSeparator(name.front()));
  FUZZ_CHECK(!isSeparator(name.back()));
  for (char c : name) {
    unsigned char byte = static_cast<unsigned char>(c);
    FUZZ_CHECK(byte >= 0x20 && byte != 0x7f);
    FUZZ_CHECK(c != ':');  // drives, streams
  }
  // No component that walks up, in any spelling Windows would accept as "..".
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !isSeparator(name[end])) ++end;
    std::string component = name.substr(start, end - start);
    bool dotsAndBlanksOnly = component.find_first_not_of(". ") == std::string::npos;
    FUZZ_CHECK(component.empty() || !dotsAndBlanksOnly || component == ".");
    start = end + 1;
  }
  // The same seen through the library's own path arithmetic.
  std::string slashed = name;
  for (char& c : slashed) {
    if (c == '\\') c = '/';
  }
  std::filesystem::path path(slashed);
  FUZZ_CHECK(path.is_relative());
  FUZZ_CHECK(!path.has_root_path());
  std::filesystem::path normal = path.lexically_normal();
  FUZZ_CHECK(normal.empty() || *normal.begin() != "..");
  // Never one of the files the updater keeps for itself.
  std::string reached = reachedFile(name);
  FUZZ_CHECK(!reached.empty());
  for (const char* own : kReservedNames) FUZZ_CHECK(reached != own);
  FUZZ_CHECK(reached.rfind(std::string(kServerFolder) + "/", 0) != 0);
}

void checkLine(const std::string& line) {
  std::vector<std::string> fields;
  LineKind kind = parseManifestLine(line, fields);
  if (line.empty()) {
    FUZZ_CHECK(kind == LineKind::empty);
    return;
  }
  FUZZ_CHECK(kind != LineKind::empty);

  // The fields are the line cut at its first commas: joined again they give
  // the line back up to the start of whatever was ignored.
  std::size_t commas = 0;
  for (char c : line) commas += c == ',' ? 1 : 0;
  std::size_t expectedCount = commas + 1 < kManifestFields ? commas + 1 : kManifestFields;
  FUZZ_CHECK(fields.size() == expectedCount);
  std::string joined;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) joined += ',';
    joined += fields[i];
  }
  FUZZ_CHECK(line.compare(0, joined.size(), joined) == 0);
  FUZZ_CHECK(joined.size() == line.size() || line[joined.size()] == ',');

  bool complete = fields.size() == kManifestFields && !fields[0].empty();
  if (!complete) {
    FUZZ_CHECK(kind == LineKind::malformed);
  } else if (isSafeName(fields[0])) {
    FUZZ_CHECK(kind == LineKind::entry);
    checkAcceptedName(fields[0]);
  } else {
    FUZZ_CHECK(kind == LineKind::unsafeName);
  }
  for (const std::string& field : fields) {
    FUZZ_CHECK(readLong32(field) == referenceLong32(field));
  }

  // Whatever the line holds, its log form is one short printable line.
  std::string shown = printableForLog(line);
  FUZZ_CHECK(shown.size() <= 203);
  for (char c : shown) {
    unsigned char byte = static_cast<unsigned char>(c);
    FUZZ_CHECK(byte >= 0x20 && byte != 0x7f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> expected = referenceLines(bytes);

  std::istringstream manifest(bytes);
  std::string line;
  std::size_t count = 0;
  while (readManifestLine(manifest, line)) {
    FUZZ_CHECK(count < expected.size());
    FUZZ_CHECK(line == expected[count]);
    checkLine(line);
    ++count;
  }
  FUZZ_CHECK(count == expected.size());

  // The whole input as one number, and every input as a name, reach parts
  // that well-formed lines rarely do.
  FUZZ_CHECK(readLong32(bytes) == referenceLong32(bytes));
  if (isSafeName(bytes)) checkAcceptedName(bytes);
  return 0;
}
