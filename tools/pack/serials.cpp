#include "serials.h"

#include <sstream>
#include <stdexcept>
#include <system_error>

#include "pack_platform.h"
#include "pack_support.h"
#include "platform/platform.h"
#include "signing.h"

namespace fs = std::filesystem;

namespace {

constexpr char kStateHeader[] = "brightwick-key-state 1";
constexpr std::uint64_t kMostStateSize = 4096;

bool readSerial(const std::string& text, std::uint64_t* serial) {
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > kMostSerial) return false;
  *serial = value;
  return true;
}

}  // namespace

fs::path keyStatePath(const fs::path& keyFile) {
  fs::path path = keyFile;
  path += ".state";
  return path;
}

std::string formatKeyState(std::uint64_t serial) {
  return std::string(kStateHeader) + "\nserial " + std::to_string(serial) + "\n";
}

bool parseKeyState(const std::string& text, std::uint64_t* serial) {
  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line) || line != kStateHeader) return false;
  bool found = false;
  while (std::getline(lines, line)) {
    if (line.compare(0, 7, "serial ") != 0) continue;
    if (found || !readSerial(line.substr(7), serial)) return false;
    found = true;
  }
  // A text cut short has no line end after its serial.
  return found && !text.empty() && text.back() == '\n';
}

std::uint64_t readKeyState(const fs::path& keyFile) {
  fs::path path = keyStatePath(keyFile);
  std::error_code error;
  if (!fs::exists(fs::symlink_status(path, error))) return 0;
  std::uint64_t serial = 0;
  if (!parseKeyState(readWholeFile(path, kMostStateSize), &serial)) {
    throw std::runtime_error(
        shown(path) +
        " is not a state file of brightwick-pack; it keeps the last serial signed with the key. "
        "Write the last serial published into it (\"" +
        std::string(kStateHeader) + "\", then \"serial N\"), or remove it if the served " +
        "update.dat.sig is the last one signed");
  }
  return serial;
}

void writeKeyState(const fs::path& keyFile, std::uint64_t serial) {
  fs::path path = keyStatePath(keyFile);
  fs::path written = path;
  written += ".new";
  writeWholeFile(written, formatKeyState(serial));
  fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  if (!replaceFile(narrowOrThrow(written), narrowOrThrow(path)) || !syncToDisk(folder)) {
    throw std::runtime_error("cannot record serial " + std::to_string(serial) + " in " +
                             shown(path) + ": " + errnoText() +
                             "; the key's folder must be writable");
  }
}

std::uint64_t chooseSerial(std::uint64_t floor, std::int64_t now, bool force) {
  std::uint64_t serial = nextSerial(floor, now);
  if (serial == 0) {
    throw std::runtime_error(
        "the last serial signed with this key is " + std::to_string(floor) +
        ", the largest an updater takes, so no later publish can be signed with a greater one "
        "(README, \"Signing your updates\", says how players get back)");
  }
  std::int64_t clock = now > 0 ? now : 0;
  if (serial > static_cast<std::uint64_t>(clock) + static_cast<std::uint64_t>(kMostSerialLead) &&
      !force) {
    throw std::runtime_error(
        "the next serial would be " + std::to_string(serial) +
        ", more than a year ahead of this machine's clock (" + std::to_string(clock) +
        "); players who take it refuse every later serial below it. Check the clock and the "
        "last serial signed (the served update.dat.sig, the key's .state file); --force signs "
        "it anyway");
  }
  return serial;
}
