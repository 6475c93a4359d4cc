// Fuzzes applyPatch with arbitrary patch data against a fixed base, as the
// updater runs it on whatever a server sent. The first two bytes of an input
// choose the output bound (1 byte to about 1 MiB, in steps of 16), the rest is the patch. The base
// is 64 KiB from the same generator as fuzz/make_seeds.py's, whose seeds are
// patches for it; it is read through a cache of three 4 KiB blocks, so that
// copies from it evict and read blocks again.
//
// Checked on every run: the output never passes the bound, the outcome's
// size is what the output file holds, a failure says why, and a success
// means a CRC-32 that matches the output and exactly what xdelta3's own
// one-call decoder makes of the same patch with the base in memory.
//
// The zlib form is fuzzed beside it: the input taken as a zlib stream keeps
// the same bounds, and the input deflated gives exactly the outcome of the
// plain patch, failures and their reasons included.

#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/patch_apply.h"
#include "fuzz_check.h"
#include "vcdiff_stream.h"

namespace {

constexpr std::size_t kBaseSize = 64 * 1024;

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

const std::string& base() {
  static const std::string bytes = makeBase();
  return bytes;
}

// One folder per fuzzing process for the files.
const std::filesystem::path& workFolder() {
  static const std::filesystem::path folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "patch-fuzz-XXXXXX").string();
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint64_t limit = 1 + (std::uint64_t{data[0]} | std::uint64_t{data[1]} << 8) * 16;
  const std::string patch(reinterpret_cast<const char*>(data) + 2, size - 2);
  const std::filesystem::path basePath = workFolder() / "base";
  const std::filesystem::path patchPath = workFolder() / "patch";
  const std::filesystem::path outPath = workFolder() / "out";
  static const bool baseWritten = (writeBytes(basePath, base()), true);
  FUZZ_CHECK(baseWritten);
  writeBytes(patchPath, patch);

  using Apply = PatchOutcome (*)(std::FILE*, std::FILE*, std::FILE*, std::uint64_t,
                                 const std::atomic<bool>*, const BaseCache&);
  auto run = [&](Apply apply, std::string* written) {
    PatchOutcome result;
    std::FILE* baseFile = std::fopen(basePath.c_str(), "rb");
    std::FILE* patchFile = std::fopen(patchPath.c_str(), "rb");
    std::FILE* output = std::fopen(outPath.c_str(), "wb");
    FUZZ_CHECK(baseFile && patchFile && output);
    result = apply(baseFile, patchFile, output, limit, nullptr, BaseCache{4096, 3});
    std::fclose(baseFile);
    std::fclose(patchFile);
    FUZZ_CHECK(std::fclose(output) == 0);
    *written = readBytes(outPath);
    FUZZ_CHECK(written->size() <= limit);
    FUZZ_CHECK(result.size == static_cast<std::int64_t>(written->size()));
    FUZZ_CHECK(result.ok == result.error.empty());
    return result;
  };

  std::string ignored;
  run(applyZlibPatch, &ignored);

  std::vector<Bytef> deflated(compressBound(static_cast<uLong>(patch.size())));
  uLongf deflatedSize = static_cast<uLongf>(deflated.size());
  FUZZ_CHECK(compress2(deflated.data(), &deflatedSize, reinterpret_cast<const Bytef*>(patch.data()),
                       static_cast<uLong>(patch.size()), Z_BEST_SPEED) == Z_OK);
  writeBytes(patchPath, std::string(reinterpret_cast<const char*>(deflated.data()), deflatedSize));
  std::string zlibOut;
  const PatchOutcome zlibOutcome = run(applyZlibPatch, &zlibOut);

  writeBytes(patchPath, patch);
  std::string plainOut;
  const PatchOutcome outcome = run(applyPatch, &plainOut);
  FUZZ_CHECK(zlibOutcome.ok == outcome.ok && zlibOutcome.error == outcome.error);
  FUZZ_CHECK(zlibOut == plainOut && zlibOutcome.crc == outcome.crc);
  const std::string& out = plainOut;
  if (!outcome.ok) return 0;

  FUZZ_CHECK(outcome.crc ==
             crc32(0, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size())));
  // Only a patch the bounded decoder took is handed to the unbounded one.
  std::vector<std::uint8_t> expected(limit);
  usize_t expectedSize = 0;
  const int reference = xd3_decode_memory(
      reinterpret_cast<const std::uint8_t*>(patch.data()), static_cast<usize_t>(patch.size()),
      reinterpret_cast<const std::uint8_t*>(base().data()), static_cast<usize_t>(kBaseSize),
      expected.data(), &expectedSize, static_cast<usize_t>(limit), 0);
  FUZZ_CHECK(reference == 0);
  FUZZ_CHECK(expectedSize == out.size());
  FUZZ_CHECK(out.compare(0, out.size(), reinterpret_cast<const char*>(expected.data()),
                         expectedSize) == 0);
  return 0;
}
