// Times ZlibEngine::decompress (4096-byte buffers) against zlib's own inflate
// driven with 256 KiB buffers, on the same stream, in one run, and prints the
// ratio. Both read the stream from a file and write the result to a file.
//
// Usage: engine_bench [MiB] [rounds]    (defaults: 256 MiB, 5 rounds)

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

#include "engine/zlib_engine.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

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

// zlib's inflate with large buffers: the speed the engine should match.
int inflateReference(const std::string& in, const std::string& out) {
  constexpr std::size_t kChunk = 256 * 1024;
  FilePtr source(std::fopen(in.c_str(), "rb"));
  FilePtr sink(std::fopen(out.c_str(), "wb"));
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

double secondsOf(const std::function<int()>& run) {
  auto start = std::chrono::steady_clock::now();
  if (run() != Z_OK) {
    std::fprintf(stderr, "inflate failed\n");
    std::exit(1);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
  std::vector<double> engineTimes, zlibTimes;
  for (int round = 0; round < rounds; ++round) {
    engineTimes.push_back(
        secondsOf([&] { return engine.decompress(packed.c_str(), out.c_str()); }));
    zlibTimes.push_back(secondsOf([&] { return inflateReference(packed, out); }));
  }
  double engineMedian = median(engineTimes), zlibMedian = median(zlibTimes);
  std::printf("ZlibEngine::decompress (4 KiB buffers): median %.3f s  (%.0f MiB/s)\n", engineMedian,
              mib / engineMedian);
  std::printf("zlib inflate, 256 KiB buffers (baseline): median %.3f s  (%.0f MiB/s)\n", zlibMedian,
              mib / zlibMedian);
  std::printf("ratio engine / baseline: %.3f\n", engineMedian / zlibMedian);
  std::filesystem::remove_all(dir);
  return 0;
}
