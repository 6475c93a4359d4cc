// Fuzzes ZlibEngine::decompress with arbitrary input and an output bound, as
// the installation runs it on whatever a server sent. The first three bytes
// of an input choose the bound (1 byte to 1 MiB), the rest is the stream.
//
// Checked on every run: the result is one decompress documents, the status
// hook agrees with it, the output never passes the bound, and a success
// means exactly what zlib's own uncompress() makes of the same stream prefix
// within the same bound (and the other way round). The engine is reused from
// run to run, as the updater's global one is. A deflate-inflate round trip of
// the input through the engine itself closes each run.

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

#include "engine/zlib_engine.h"
#include "fuzz_check.h"

namespace {

class RecordingEngine : public ZlibEngine {
 public:
  void reportStatus(const char* message) override { statuses.push_back(message); }
  std::vector<std::string> statuses;
};

// One folder per fuzzing process for the engine's files.
const std::filesystem::path& workFolder() {
  static const std::filesystem::path folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "inflate-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    std::atexit([] { std::filesystem::remove_all(workFolder()); });
    return std::filesystem::path(pattern);
  }();
  return folder;
}

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  FUZZ_CHECK(out.good());
}

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool isDocumentedResult(int result) {
  switch (result) {
    case Z_OK:
    case Z_ERRNO:       // the bound was reached (or a write fell short)
    case Z_DATA_ERROR:  // corrupt input
    case Z_BUF_ERROR:   // truncated or empty input
    case Z_NEED_DICT:   // a stream that wants a preset dictionary
    case Z_MEM_ERROR:
      return true;
    default:
      return false;
  }
}

RecordingEngine& engine() {
  static RecordingEngine instance;
  return instance;
}

int runEngine(const std::string& input, const std::string& output, std::uint64_t limit,
              bool inflating, int level = 0) {
  RecordingEngine& e = engine();
  e.statuses.clear();
  e.outputLimit = limit;
  int result = inflating ? e.decompress(input.c_str(), output.c_str())
                         : e.compress(input.c_str(), output.c_str(), level);
  e.outputLimit = 0;
  FUZZ_CHECK(e.input == nullptr && e.output == nullptr);
  FUZZ_CHECK(e.statuses.size() == 1);
  FUZZ_CHECK((e.statuses[0] == "Success") == (result == Z_OK));
  FUZZ_CHECK(e.statuses[0] == "Success" || e.statuses[0] == "Zlib Error");
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint64_t limit =
      1 + ((data[0] | static_cast<std::uint64_t>(data[1]) << 8 | data[2] << 16) % (1u << 20));
  const std::string stream(reinterpret_cast<const char*>(data) + 3, size - 3);
  const std::string in = (workFolder() / "in.z").string();
  const std::string out = (workFolder() / "out").string();
  writeBytes(in, stream);

  int result = runEngine(in, out, limit, true);
  FUZZ_CHECK(isDocumentedResult(result));
  std::string inflated = readBytes(out);
  FUZZ_CHECK(inflated.size() <= limit);

  // zlib's one-call decompression of the same bytes into a buffer of the
  // bound's size: it succeeds exactly when the stream ends within the bound.
  // Kept from run to run: a fresh megabyte each time costs more than zlib.
  static std::vector<unsigned char> expected(std::size_t{1} << 20);
  uLongf expectedSize = static_cast<uLongf>(limit);
  uLong consumed = static_cast<uLong>(stream.size());
  int reference = uncompress2(expected.data(), &expectedSize,
                              reinterpret_cast<const Bytef*>(stream.data()), &consumed);
  FUZZ_CHECK((result == Z_OK) == (reference == Z_OK));
  if (result == Z_OK) {
    FUZZ_CHECK(inflated.size() == expectedSize);
    FUZZ_CHECK(inflated.compare(0, inflated.size(), reinterpret_cast<const char*>(expected.data()),
                                expectedSize) == 0);
  }

  // The engine's own writer: whatever it deflates, it inflates back.
  const std::string packed = (workFolder() / "packed.z").string();
  const std::string back = (workFolder() / "back").string();
  int level = data[0] % 10;
  FUZZ_CHECK(runEngine(in, packed, 0, false, level) == Z_OK);
  FUZZ_CHECK(runEngine(packed, back, 0, true) == Z_OK);
  FUZZ_CHECK(readBytes(back) == stream);
  return 0;
}
