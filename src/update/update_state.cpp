#include "update/update_state.h"

#include <sstream>
#include <string>

#include "base/file_ptr.h"
#include "base/names.h"
#include "platform/game_folder.h"

namespace {

constexpr char kStateFormatLine[] = "brightwick-state 1";

}  // namespace

std::uint64_t acceptedSerial() {
  std::string text;
  if (!readSmallFile(kStateFile, 256, &text)) return 0;
  std::istringstream lines(text);
  std::string format, serial;
  if (!std::getline(lines, format) || format != kStateFormatLine) return 0;
  if (!std::getline(lines, serial) || serial.compare(0, 7, "serial ") != 0) return 0;
  std::string digits = serial.substr(7);
  if (digits.empty() || digits.size() > 19 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return 0;
  }
  return std::stoull(digits);
}

bool storeAcceptedSerial(std::uint64_t serial) {
  // Written beside and moved over the old record, so that a cut leaves one
  // whole record or the other.
  std::string text = std::string(kStateFormatLine) + "\nserial " + std::to_string(serial) + "\n";
  if (!removeFile(kScratchFile)) return false;
  {
    FilePtr out(createNewFile(kScratchFile));
    if (!out) return false;
    bool written = std::fwrite(text.data(), 1, text.size(), out.get()) == text.size();
    if (std::fclose(out.release()) != 0 || !written) {
      removeFile(kScratchFile);
      return false;
    }
  }
  bool replaced = replaceGameFile(kScratchFile, kStateFile);
  removeFile(kScratchFile);
  return replaced;
}
