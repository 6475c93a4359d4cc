#include "journal.h"

#include <sstream>

#include "pack_support.h"

namespace {

constexpr char kJournalHeader[] = "brightwick-journal ";

bool isScratchName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\:") == std::string::npos;
}

bool readNumber(const std::string& text, int base, std::uint64_t limit, std::uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t result = 0;
  for (char c : text) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 99;
    if (digit >= base) return false;
    if (result > (limit - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base)) {
      return false;
    }
    result = result * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  *value = result;
  return true;
}

// "put SOURCE BACKUP SIZE CRC TARGET", without the keyword.
bool parsePut(const std::string& rest, JournalPut* put) {
  std::string fields[4];
  std::size_t at = 0;
  for (std::string& field : fields) {
    std::size_t blank = rest.find(' ', at);
    if (blank == std::string::npos) return false;
    field = rest.substr(at, blank - at);
    at = blank + 1;
  }
  put->source = fields[0];
  put->backup = fields[1] == "-" ? std::string() : fields[1];
  put->target = rest.substr(at);
  std::uint64_t crc = 0;
  if (fields[3].size() != 8 || !readNumber(fields[3], 16, 0xffffffffu, &crc)) return false;
  put->crc = static_cast<std::uint32_t>(crc);
  return isScratchName(put->source) && (put->backup.empty() || isScratchName(put->backup)) &&
         readNumber(fields[2], 10, UINT64_MAX, &put->size) && isContainedPath(put->target);
}

}  // namespace

bool isContainedPath(const std::string& path) {
  if (path.empty() || path[0] == '/' || path.find_first_of("\\:") != std::string::npos) {
    return false;
  }
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

std::string formatJournal(const Journal& journal) {
  std::string text = kJournalHeader + std::to_string(kJournalFormat) + "\n";
  text += "scratch " + journal.scratch + "\n";
  for (const std::string& folder : journal.folders) text += "folder " + folder + "\n";
  for (const JournalPut& put : journal.puts) {
    text += "put " + put.source + " " + (put.backup.empty() ? "-" : put.backup) + " " +
            std::to_string(put.size) + " " + hexCrc(put.crc) + " " + put.target + "\n";
  }
  for (const std::string& gone : journal.deletes) text += "delete " + gone + "\n";
  return text + "end\n";
}

bool parseJournal(const std::string& text, Journal* journal, std::string* error) {
  *journal = Journal();
  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line) ||
      line.compare(0, sizeof kJournalHeader - 1, kJournalHeader) != 0) {
    *error = "it does not start as a journal of brightwick-pack does";
    return false;
  }
  std::string format = line.substr(sizeof kJournalHeader - 1);
  if (format != std::to_string(kJournalFormat)) {
    *error = "it has format " + format + "; this brightwick-pack reads format " +
             std::to_string(kJournalFormat) + " (repair it with the version that wrote it)";
    return false;
  }
  bool ended = false;
  for (std::size_t number = 2; std::getline(lines, line); ++number) {
    std::size_t blank = line.find(' ');
    std::string keyword = line.substr(0, blank);
    std::string rest = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    bool good = !ended;
    if (keyword == "end" && blank == std::string::npos) {
      ended = true;
    } else if (keyword == "scratch") {
      journal->scratch = rest;
      good = good && rest.compare(0, sizeof kScratchPrefix - 1, kScratchPrefix) == 0 &&
             isScratchName(rest);
    } else if (keyword == "folder") {
      journal->folders.push_back(rest);
      good = good && isContainedPath(rest);
    } else if (keyword == "put") {
      journal->puts.emplace_back();
      good = good && parsePut(rest, &journal->puts.back());
    } else if (keyword == "delete") {
      journal->deletes.push_back(rest);
      good = good && isContainedPath(rest);
    } else {
      good = false;
    }
    if (!good) {
      *error = "line " + std::to_string(number) + " cannot be read: " + quotedName(line);
      return false;
    }
  }
  if (!ended || journal->scratch.empty()) {
    *error = "it is incomplete";
    return false;
  }
  return true;
}
