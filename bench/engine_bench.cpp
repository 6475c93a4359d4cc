// Times ZlibEngine::decompress (4096-byte buffers) against zlib's own inflate
// driven with 256 KiB buffers, on the same stream, in one run, and prints the
// ratio. Both read the stream from a file and write the result to a file.
//
// Usage: engine_bench [MiB] [rounds]    (defaults: 256 MiB, 5 rounds)
//
// Besides wall time it shows the CPU time in user space and in the kernel,
// so that a difference can be placed on one side of the system calls.

#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/file_ptr.h"
#include "engine/zlib_engine.h"

namespace {

// A game-like mix: stretches of text-like data, which deflate shrinks well,
// and stretches of noise, which it cannot.
void writeSample(const std::string& path, std::size_t bytes) {
  FilePtr out(std::fopen(path.c_str(), "wb"));
  std::mt19937 random(20261207);
  std::vector<char> block(1 << 20);
  static const char* const kWords[] = {"level ", "sprite ", "tdx ", "map ", "sound\n", "0042 "};
  for (std::size_t written = 0; written < bytes; written += block.size()) {
    bool noise = random() % 3 == 0;
    for (std::size_t i = 0; i < block.size();) {
      if (noise) {
        block[i++] = static_cast<char>(random());
      } else {
        for (const char* w = kWords[random() % 6]; *w && i < block.size(); ++w) block[i++] = *w;
      }
    }
    std::fwrite(block.data(), 1, block.size(), out.get());
  }
}

// zlib's inflate handed `chunk` bytes at a time, through stdio buffers of
// `stdioBuffer` bytes (0: the C library's default). With 256 KiB chunks it is
// the speed the engine should match; with the engine's 4 KiB chunks and 64 KiB
// stdio buffers it shows what those sizes cost by themselves.
int inflateReference(const std::string& in, const std::string& out, std::size_t chunk = 256 * 1024,
                     std::size_t stdioBuffer = 0) {
  const std::size_t kChunk = chunk;
  FilePtr source(std::fopen(in.c_str(), "rb"));
  FilePtr sink(std::fopen(out.c_str(), "wb"));
  if (stdioBuffer != 0) {
    std::setvbuf(source.get(), nullptr, _IOFBF, stdioBuffer);
    std::setvbuf(sink.get(), nullptr, _IOFBF, stdioBuffer);
  }
  std::vector<unsigned char> input(kChunk), output(kChunk);
  z_stream stream{};
  inflateInit(&stream);
  int result = Z_OK;
  while (result != Z_STREAM_END) {
    stream.avail_in = static_cast<uInt>(std::fread(input.data(), 1, kChunk, source.get()));
    if (stream.avail_in == 0) break;
    stream.next_in = input.data();
    do {
      stream.avail_out = kChunk;
      stream.next_out = output.data();
      result = inflate(&stream, Z_NO_FLUSH);
      // No progress because this chunk of input is used up: read the next.
      if (result == Z_BUF_ERROR && stream.avail_in == 0) result = Z_OK;
      if (result != Z_OK && result != Z_STREAM_END) {
        inflateEnd(&stream);
        return result;
      }
      std::fwrite(output.data(), 1, kChunk - stream.avail_out, sink.get());
    } while (stream.avail_out == 0);
  }
  inflateEnd(&stream);
  return result == Z_STREAM_END ? Z_OK : result;
}

struct Times {
  std::vector<double> wall, user, system;
};

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

void measure(const std::function<int()>& run, Times& times) {
  rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  auto start = std::chrono::steady_clock::now();
  if (run() != Z_OK) {
    std::fprintf(stderr, "inflate failed\n");
    std::exit(1);
  }
  times.wall.push_back(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  getrusage(RUSAGE_SELF, &after);
  times.user.push_back(seconds(after.ru_utime) - seconds(before.ru_utime));
  times.system.push_back(seconds(after.ru_stime) - seconds(before.ru_stime));
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "brightwick-engine-bench";
  std::filesystem::create_directories(dir);
  std::string plain = (dir / "plain").string();
  std::string packed = (dir / "packed.z").string();
  std::string out = (dir / "out").string();

  writeSample(plain, mib << 20);
  ZlibEngine engine;
  if (engine.compress(plain.c_str(), packed.c_str(), 6) != Z_OK) return 1;
  std::printf("stream: %.1f MiB inflating to %zu MiB\n",
              static_cast<double>(std::filesystem::file_size(packed)) / (1 << 20), mib);

  // Warm-up, then alternate the two so that both see the same machine state.
  inflateReference(packed, out);
  Times engineTimes, zlibTimes, smallTimes, smallBigIoTimes;
  for (int round = 0; round < rounds; ++round) {
    measure([&] { return engine.decompress(packed.c_str(), out.c_str()); }, engineTimes);
    measure([&] { return inflateReference(packed, out); }, zlibTimes);
    measure([&] { return inflateReference(packed, out, 4096, 64 * 1024); }, smallTimes);
    measure([&] { return inflateReference(packed, out, 4096, 1024 * 1024); }, smallBigIoTimes);
  }
  double engineMedian = median(engineTimes.wall), zlibMedian = median(zlibTimes.wall);
  std::printf("ZlibEngine::decompress (4 KiB buffers): median %.3f s  (%.0f MiB/s)", engineMedian,
              mib / engineMedian);
  std::printf("  CPU user %.3f s, system %.3f s\n", median(engineTimes.user),
              median(engineTimes.system));
  std::printf("zlib inflate, 256 KiB buffers (baseline): median %.3f s  (%.0f MiB/s)", zlibMedian,
              mib / zlibMedian);
  std::printf("  CPU user %.3f s, system %.3f s\n", median(zlibTimes.user),
              median(zlibTimes.system));
  std::printf("ratio engine / baseline: %.3f\n", engineMedian / zlibMedian);
  // What the buffer sizes alone make of zlib's own loop.
  std::printf(
      "zlib inflate, 4 KiB buffers, 64 KiB stdio buffers (the engine's sizes): median %.3f s"
      "  CPU user %.3f s, system %.3f s\n",
      median(smallTimes.wall), median(smallTimes.user), median(smallTimes.system));
  std::printf(
      "zlib inflate, 4 KiB buffers, 1 MiB stdio buffers: median %.3f s"
      "  CPU user %.3f s, system %.3f s\n",
      median(smallBigIoTimes.wall), median(smallBigIoTimes.user), median(smallBigIoTimes.system));
  std::filesystem::remove_all(dir);
  return 0;
}
