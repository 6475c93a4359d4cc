// Fuzzes the updater's own VCDIFF decoder against xdelta3's, both reading
// the same patch against the same base. The first byte of an input chooses
// the updater's base cache (blocks of 512 bytes to 64 KiB, one to four of
// them), the rest is the patch. The base is 64 KiB from the same generator
// as fuzz/make_seeds.py's, whose seeds are patches for it, most of them made
// by the publisher's own encoder.
//
// Checked on every run: the output never passes the bound, the outcome's
// size is what the output file holds, a failure says why; what the updater
// takes, xdelta3 takes too, with the same bytes; and what xdelta3 takes the
// updater takes too, unless it is one of the things it refuses on purpose
// (docs/formats.md): secondary compression, another code table, copies from
// earlier output, a source segment past the base's end, sections with bytes
// left over.

#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "engine/patch_apply.h"
#include "fuzz_check.h"
#include "xdelta3_apply.h"

namespace {

constexpr std::size_t kBaseSize = 64 * 1024;
constexpr std::uint64_t kOutputLimit = 4u << 20;

// make_seeds.py's pseudo_random(kBaseSize, 777).
std::string makeBase() {
  std::string base(kBaseSize, '\0');
  std::uint32_t seed = 777;
  for (char& c : base) {
    seed = (seed * 1103515245u + 12345u) & 0x7FFFFFFFu;
    c = static_cast<char>(seed >> 16 & 0xFF);
  }
  return base;
}

const std::filesystem::path& workFolder() {
  static const std::filesystem::path folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "vcdiff-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    std::atexit([] { std::filesystem::remove_all(workFolder()); });
    return std::filesystem::path(pattern);
  }();
  return folder;
}

void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  FUZZ_CHECK(out.good());
}

std::string readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

struct Result {
  PatchOutcome outcome;
  std::string bytes;
};

template <typename Apply>
Result applyWith(Apply apply, const BaseCache& cache) {
  const std::filesystem::path out = workFolder() / "out";
  Result result;
  std::FILE* base = std::fopen((workFolder() / "base").c_str(), "rb");
  std::FILE* patch = std::fopen((workFolder() / "patch").c_str(), "rb");
  std::FILE* output = std::fopen(out.c_str(), "wb");
  FUZZ_CHECK(base && patch && output);
  result.outcome = apply(base, patch, output, kOutputLimit, nullptr, cache);
  std::fclose(base);
  std::fclose(patch);
  FUZZ_CHECK(std::fclose(output) == 0);
  result.bytes = readBytes(out);
  FUZZ_CHECK(result.bytes.size() <= kOutputLimit);
  FUZZ_CHECK(result.outcome.size == static_cast<std::int64_t>(result.bytes.size()));
  FUZZ_CHECK(result.outcome.ok == result.outcome.error.empty());
  return result;
}

bool refusedOnPurpose(const std::string& error) {
  for (const char* reason : {"unsupported patch", "beyond the base's end", "unused bytes"}) {
    if (error.find(reason) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const BaseCache cache{512u << (data[0] & 7), 1 + (data[0] >> 3 & 3)};
  static const bool baseWritten = (writeBytes(workFolder() / "base", makeBase()), true);
  FUZZ_CHECK(baseWritten);
  writeBytes(workFolder() / "patch",
             std::string(reinterpret_cast<const char*>(data) + 1, size - 1));

  const Result ours = applyWith(applyPatch, cache);
  const Result theirs = applyWith(applyPatchWithXdelta3, BaseCache());
  if (ours.outcome.ok) {
    FUZZ_CHECK(ours.outcome.crc == crc32(0, reinterpret_cast<const Bytef*>(ours.bytes.data()),
                                         static_cast<uInt>(ours.bytes.size())));
    FUZZ_CHECK(theirs.outcome.ok);
    FUZZ_CHECK(ours.bytes == theirs.bytes);
  } else if (theirs.outcome.ok) {
    if (!refusedOnPurpose(ours.outcome.error)) {
      std::fprintf(stderr, "xdelta3 applies it, the updater says: %s\n",
                   ours.outcome.error.c_str());
    }
    FUZZ_CHECK(refusedOnPurpose(ours.outcome.error));
  }
  return 0;
}
