#include "engine/vcdiff_decoder.h"

#include <array>
#include <cstring>
#include <limits>

#include "engine/base_reader.h"
#include "engine/patch_stream.h"

namespace {

constexpr unsigned char kMagic[4] = {0xD6, 0xC3, 0xC4, 0x00};

// Header indicator bits: RFC 3284's two, and xdelta3's application header.
constexpr int kHeaderDecompress = 0x01;
constexpr int kHeaderCodeTable = 0x02;
constexpr int kHeaderAppHeader = 0x04;

// Window indicator bits: RFC 3284's two, and xdelta3's Adler-32.
constexpr int kWindowSource = 0x01;
constexpr int kWindowTarget = 0x02;
constexpr int kWindowAdler32 = 0x04;

// What a COPY returns when the base could not be read: the reader says why.
const char kBaseFailed[] = "base";

// The default code table's caches.
constexpr int kNearSlots = 4;
constexpr int kSameSlots = 3 * 256;

enum Type : std::uint8_t { kNoop = 0, kAdd = 1, kRun = 2, kCopy = 3 };

struct Instruction {
  std::uint8_t type = kNoop;
  std::uint8_t size = 0;  // 0: the size follows in the instructions section
  std::uint8_t mode = 0;
};

struct Code {
  Instruction first, second;
};

using CodeTable = std::array<Code, 256>;

// RFC 3284's default code table, built from its rules (section 5.6) rather
// than typed out: 256 entries are easier to get wrong than a few loops.
CodeTable buildDefaultTable() {
  CodeTable table{};
  int index = 0;
  table[index++].first = {kRun, 0, 0};
  for (int size = 0; size <= 17; ++size) table[index++].first = {kAdd, std::uint8_t(size), 0};
  for (int mode = 0; mode <= 8; ++mode) {
    table[index++].first = {kCopy, 0, std::uint8_t(mode)};
    for (int size = 4; size <= 18; ++size) {
      table[index++].first = {kCopy, std::uint8_t(size), std::uint8_t(mode)};
    }
  }
  for (int mode = 0; mode <= 5; ++mode) {
    for (int add = 1; add <= 4; ++add) {
      for (int copy = 4; copy <= 6; ++copy) {
        table[index++] = {{kAdd, std::uint8_t(add), 0},
                          {kCopy, std::uint8_t(copy), std::uint8_t(mode)}};
      }
    }
  }
  for (int mode = 6; mode <= 8; ++mode) {
    for (int add = 1; add <= 4; ++add) {
      table[index++] = {{kAdd, std::uint8_t(add), 0}, {kCopy, 4, std::uint8_t(mode)}};
    }
  }
  for (int mode = 0; mode <= 8; ++mode) {
    table[index++] = {{kCopy, 4, std::uint8_t(mode)}, {kAdd, 1, 0}};
  }
  return table;
}

const CodeTable& defaultTable() {
  static const CodeTable table = buildDefaultTable();
  return table;
}

// A VCDIFF integer from memory: base 128, most significant digit first.
// False if it is cut short or does not fit 64 bits.
inline bool takeInteger(const unsigned char*& at, const unsigned char* end, std::uint64_t* value) {
  std::uint64_t result = 0;
  while (at < end) {
    const unsigned char byte = *at++;
    if (result > (std::numeric_limits<std::uint64_t>::max() >> 7)) return false;
    result = result << 7 | (byte & 0x7F);
    if ((byte & 0x80) == 0) {
      *value = result;
      return true;
    }
  }
  return false;
}

// The same from the patch file, counting the bytes it took.
enum class Read { ok, end, cut, overflow };

Read readInteger(PatchStream& patch, std::uint64_t* value, std::uint64_t* consumed) {
  std::uint64_t result = 0;
  for (bool first = true;; first = false) {
    const int byte = patch.get();
    if (byte == EOF) return first ? Read::end : Read::cut;
    ++*consumed;
    if (result > (std::numeric_limits<std::uint64_t>::max() >> 7)) return Read::overflow;
    result = result << 7 | static_cast<unsigned>(byte & 0x7F);
    if ((byte & 0x80) == 0) {
      *value = result;
      return Read::ok;
    }
  }
}

// Repeats what lies `distance` bytes back, `size` times: a copy from the
// window itself that may overlap what it writes (RFC 3284, section 3).
// Each step copies the whole stretch written so far since `from`, which is
// periodic, so the pieces double instead of going a byte at a time.
void copyWithin(unsigned char* target, std::size_t from, std::size_t here, std::size_t size) {
  if (here - from >= size) {
    std::memcpy(target + here, target + from, size);
    return;
  }
  if (here - from == 1) {
    std::memset(target + here, target[from], size);
    return;
  }
  while (size > 0) {
    const std::size_t piece = std::min(size, here - from);
    std::memcpy(target + here, target + from, piece);
    here += piece;
    size -= piece;
  }
}

}  // namespace

std::string readVcdiffHeader(PatchStream& patch, std::size_t appHeaderLimit,
                             std::string* appHeader) {
  unsigned char start[5];
  if (patch.read(start, sizeof start) != sizeof start) {
    return patch.failed() ? patch.error() : "truncated patch";
  }
  if (std::memcmp(start, kMagic, 3) != 0) return "not a VCDIFF patch";
  if (start[3] != kMagic[3]) return "unsupported patch: VCDIFF version " + std::to_string(start[3]);
  const int indicator = start[4];
  if (indicator & kHeaderDecompress) {
    return "unsupported patch: secondary compression (sections coded by xdelta3, which only "
           "older updaters read)";
  }
  if (indicator & kHeaderCodeTable) return "unsupported patch: custom code table";
  if (indicator & ~(kHeaderDecompress | kHeaderCodeTable | kHeaderAppHeader)) {
    return "unsupported patch: unknown header indicator " + std::to_string(indicator);
  }
  if (!(indicator & kHeaderAppHeader)) return "not a Brightwick patch (no header)";
  std::uint64_t length = 0, consumed = 0;
  const Read read = readInteger(patch, &length, &consumed);
  if (patch.failed()) return patch.error();
  if (read != Read::ok) return read == Read::overflow ? "corrupt patch header" : "truncated patch";
  if (length > appHeaderLimit) return "not a Brightwick patch (no header)";
  appHeader->assign(static_cast<std::size_t>(length), '\0');
  if (length > 0 &&
      patch.read(reinterpret_cast<unsigned char*>(&(*appHeader)[0]), appHeader->size()) != length) {
    return patch.failed() ? patch.error() : "truncated patch";
  }
  return {};
}

WindowStart readWindowHeader(PatchStream& patch, VcdiffWindow* window, std::string* why) {
  auto fail = [&](const char* text) {
    *why = patch.failed() ? patch.error() : text;
    return WindowStart::failed;
  };
  const int indicator = patch.get();
  if (indicator == EOF) return patch.failed() ? fail("") : WindowStart::end;
  if (indicator & kWindowTarget) {
    return fail("unsupported patch: a window copies from earlier output (VCD_TARGET)");
  }
  if (indicator & ~(kWindowSource | kWindowTarget | kWindowAdler32)) {
    return fail("corrupt patch: unknown window indicator");
  }
  *window = VcdiffWindow();
  std::uint64_t ignored = 0;
  auto integer = [&](std::uint64_t* value, std::uint64_t* consumed) {
    const Read read = readInteger(patch, value, consumed);
    return read == Read::ok         ? nullptr
           : read == Read::overflow ? "corrupt patch: a number too large"
                                    : "truncated patch";
  };
  if (indicator & kWindowSource) {
    window->hasSource = true;
    if (const char* text = integer(&window->sourceLength, &ignored)) return fail(text);
    if (const char* text = integer(&window->sourcePosition, &ignored)) return fail(text);
  }
  std::uint64_t deltaLength = 0, header = 0;
  if (const char* text = integer(&deltaLength, &ignored)) return fail(text);
  if (const char* text = integer(&window->targetLength, &header)) return fail(text);
  const int deltaIndicator = patch.get();
  if (deltaIndicator == EOF) return fail("truncated patch");
  ++header;
  if (deltaIndicator != 0) {
    return fail("unsupported patch: secondary compression of a window's sections");
  }
  for (std::uint64_t* length :
       {&window->dataLength, &window->instructionsLength, &window->addressesLength}) {
    if (const char* text = integer(length, &header)) return fail(text);
  }
  if (indicator & kWindowAdler32) {
    unsigned char sum[4];
    if (patch.read(sum, sizeof sum) != sizeof sum) return fail("truncated patch");
    header += sizeof sum;
    window->hasChecksum = true;
    window->adler32 = std::uint32_t{sum[0]} << 24 | std::uint32_t{sum[1]} << 16 |
                      std::uint32_t{sum[2]} << 8 | sum[3];
  }
  // The window's own count of its bytes must agree with its parts, each of
  // them compared before anything is added that could overflow.
  std::uint64_t left = deltaLength;
  for (std::uint64_t part :
       {header, window->dataLength, window->instructionsLength, window->addressesLength}) {
    if (part > left) return fail("corrupt patch: a window's lengths do not add up");
    left -= part;
  }
  if (left != 0) return fail("corrupt patch: a window's lengths do not add up");
  return WindowStart::window;
}

std::string decodeWindow(const VcdiffWindow& window, const unsigned char* sections,
                         BaseReader& base, unsigned char* target) {
  const std::uint64_t sourceLength = window.hasSource ? window.sourceLength : 0;
  if (window.hasSource && (window.sourcePosition > base.length() ||
                           sourceLength > base.length() - window.sourcePosition)) {
    return "corrupt patch or wrong base file: a window copies from beyond the base's end";
  }
  if (window.targetLength > kVcdiffMaxWindow) return "corrupt patch: a window too large";
  const std::size_t length = static_cast<std::size_t>(window.targetLength);
  const unsigned char* data = sections;
  const unsigned char* const dataEnd = data + window.dataLength;
  const unsigned char* instructions = dataEnd;
  const unsigned char* const instructionsEnd = instructions + window.instructionsLength;
  const unsigned char* addresses = instructionsEnd;
  const unsigned char* const addressesEnd = addresses + window.addressesLength;

  std::uint64_t near[kNearSlots] = {};
  int nextNear = 0;
  std::array<std::uint64_t, kSameSlots> same{};
  std::size_t here = 0;

  // One instruction of a code; null, or why it cannot be carried out.
  auto execute = [&](const Instruction& instruction) -> const char* {
    std::uint64_t size = instruction.size;
    if (size == 0 && !takeInteger(instructions, instructionsEnd, &size)) {
      return "corrupt patch: an instruction's size is cut short";
    }
    if (size > length - here) return "corrupt patch: instructions pass the window's end";
    const std::size_t count = static_cast<std::size_t>(size);
    if (instruction.type == kAdd) {
      if (count > static_cast<std::size_t>(dataEnd - data))
        return "corrupt patch: ADD past its data";
      std::memcpy(target + here, data, count);
      data += count;
    } else if (instruction.type == kRun) {
      if (data == dataEnd) return "corrupt patch: RUN past its data";
      std::memset(target + here, *data++, count);
    } else {
      const std::uint64_t position = sourceLength + here;  // "here" in source and target
      std::uint64_t address = 0;
      const int mode = instruction.mode;
      if (mode < 2 + kNearSlots) {
        std::uint64_t value = 0;
        if (!takeInteger(addresses, addressesEnd, &value)) {
          return "corrupt patch: a COPY address is cut short";
        }
        if (mode == 0) {
          address = value;
        } else if (mode == 1) {
          if (value > position) return "corrupt patch: a COPY address before the start";
          address = position - value;
        } else {
          address = near[mode - 2] + value;
          if (address < value) return "corrupt patch: a COPY address too large";
        }
      } else {
        if (addresses == addressesEnd) return "corrupt patch: a COPY address is cut short";
        address = same[(mode - (2 + kNearSlots)) * 256 + *addresses++];
      }
      if (address >= position) return "corrupt patch: a COPY from what is not decoded yet";
      near[nextNear] = address;
      nextNear = (nextNear + 1) % kNearSlots;
      same[address % kSameSlots] = address;
      if (address < sourceLength) {
        if (size > sourceLength - address) return "corrupt patch: a COPY past the source segment";
        if (!base.read(window.sourcePosition + address, count, target + here)) return kBaseFailed;
      } else {
        copyWithin(target, static_cast<std::size_t>(address - sourceLength), here, count);
      }
    }
    here += count;
    return nullptr;
  };

  const CodeTable& table = defaultTable();
  while (instructions < instructionsEnd) {
    const Code& code = table[*instructions++];
    const char* why = execute(code.first);
    if (!why && code.second.type != kNoop) why = execute(code.second);
    if (why) return why == kBaseFailed ? base.error() : why;
  }
  if (here != length) return "corrupt patch: a window's instructions make too few bytes";
  if (data != dataEnd || addresses != addressesEnd) {
    return "corrupt patch: a window's sections hold unused bytes";
  }
  return {};
}
