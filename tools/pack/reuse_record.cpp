#include "reuse_record.h"
#include "hash/hex.h"

#include <cstdlib>
#include <sstream>

#include "pack.h"
#include "pack_support.h"

namespace {

constexpr char kRecordsHeader[] = "brightwick-records ";

// A value written by formatRecords and nothing else: plain digits.
bool readField(const std::string& text, int base, std::uint64_t limit, std::uint64_t* value) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    bool digit = (c >= '0' && c <= '9') || (base == 16 && c >= 'a' && c <= 'f');
    if (!digit) return false;
  }
  std::uint64_t result = std::strtoull(text.c_str(), nullptr, base);
  if (result > limit) return false;
  *value = result;
  return true;
}

// The keys this version needs, each seen once.
struct Partial {
  std::string name;
  PackedRecord record;
  int seen = 0;         // a bit per key
  bool spoilt = false;  // a key twice, or a value formatRecords never writes
  int shaSeen = 0;      // the optional sums: both or neither
  bool macSeen = false;
};

// "SIZE CRC32 SHA256" of a "previous" line.
bool readVersion(const std::string& value, VersionRecord* version) {
  std::istringstream parts(value);
  std::string size, crc, sha, extra;
  std::uint64_t number = 0, sum = 0;
  if (!(parts >> size >> crc >> sha) || (parts >> extra)) return false;
  if (!readField(size, 10, INT32_MAX, &number) || crc.size() != 8 ||
      !readField(crc, 16, 0xffffffffu, &sum) || !fromHex(sha, &version->sha)) {
    return false;
  }
  version->size = static_cast<std::int32_t>(number);
  version->crc = static_cast<std::uint32_t>(sum);
  return true;
}
constexpr int kAllKeys = 0xf;

void keep(Partial& partial, PackedRecords& records) {
  // A record for a name the updater could not carry is no record of ours.
  if (partial.seen == kAllKeys && !partial.spoilt && nameProblem(partial.name).empty()) {
    partial.record.hasSha = partial.shaSeen == 3;
    // Only a signed publish writes a MAC, and only over the sums.
    partial.record.hasMac = partial.macSeen && partial.record.hasSha;
    records[partial.name] = partial.record;
  }
  partial = Partial();
}

}  // namespace

std::string recordText(const std::string& name, const PackedRecord& record) {
  std::string text = "name " + name + "\npacked-size " + std::to_string(record.packedSize) +
                     "\npacked-crc32 " + hexCrc(record.packedCrc) + "\nsize " +
                     std::to_string(record.size) + "\ncrc32 " + hexCrc(record.crc) + "\n";
  if (record.hasSha) {
    text += "sha256 " + toHex(record.sha) + "\npacked-sha256 " + toHex(record.packedSha) + "\n";
  }
  for (const VersionRecord& version : record.previous) {
    text += "previous " + std::to_string(version.size) + " " + hexCrc(version.crc) + " " +
            toHex(version.sha) + "\n";
  }
  return text;
}

std::string formatRecords(const PackedRecords& records) {
  std::string text = kRecordsHeader + std::to_string(kRecordsFormat) + "\n";
  for (const auto& [name, record] : records) {
    text += "\n" + recordText(name, record);
    if (record.hasMac) text += "mac " + toHex(record.mac) + "\n";
  }
  return text;
}

PackedRecords parseRecords(const std::string& text, std::string* warning) {
  warning->clear();
  PackedRecords records;
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);
  if (line != kRecordsHeader + std::to_string(kRecordsFormat)) {
    *warning = line.compare(0, sizeof kRecordsHeader - 1, kRecordsHeader) == 0
                   ? "written in another format (" + line.substr(sizeof kRecordsHeader - 1) + ")"
                   : "not a records file";
    return records;
  }
  Partial partial;
  while (std::getline(lines, line)) {
    std::size_t blank = line.find(' ');
    if (blank == std::string::npos) continue;
    std::string key = line.substr(0, blank);
    std::string value = line.substr(blank + 1);
    if (key == "name") {
      keep(partial, records);
      partial.name = value;
      continue;
    }
    if (partial.name.empty()) continue;
    if (key == "sha256" || key == "packed-sha256") {
      int bit = key == "sha256" ? 1 : 2;
      Sha256Digest& sum = bit == 1 ? partial.record.sha : partial.record.packedSha;
      if ((partial.shaSeen & bit) != 0 || !fromHex(value, &sum)) partial.spoilt = true;
      partial.shaSeen |= bit;
      continue;
    }
    if (key == "mac") {
      if (partial.macSeen || !fromHex(value, &partial.record.mac)) partial.spoilt = true;
      partial.macSeen = true;
      continue;
    }
    if (key == "previous") {
      VersionRecord version;
      if (!readVersion(value, &version)) {
        partial.spoilt = true;
      } else {
        partial.record.previous.push_back(version);
      }
      continue;
    }
    std::uint64_t number = 0;
    int bit = key == "packed-size"    ? 1
              : key == "packed-crc32" ? 2
              : key == "size"         ? 4
              : key == "crc32"        ? 8
                                      : 0;
    if (bit == 0) continue;  // a key of a later version
    bool isCrc = bit == 2 || bit == 8;
    if ((partial.seen & bit) != 0 ||
        !readField(value, isCrc ? 16 : 10, isCrc ? 0xffffffffu : INT32_MAX, &number) ||
        (isCrc && value.size() != 8)) {
      partial.spoilt = true;
    }
    partial.seen |= bit;
    switch (bit) {
      case 1:
        partial.record.packedSize = static_cast<std::int32_t>(number);
        break;
      case 2:
        partial.record.packedCrc = static_cast<std::uint32_t>(number);
        break;
      case 4:
        partial.record.size = static_cast<std::int32_t>(number);
        break;
      default:
        partial.record.crc = static_cast<std::uint32_t>(number);
        break;
    }
  }
  keep(partial, records);
  return records;
}
