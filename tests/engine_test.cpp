#include <gtest/gtest.h>
#include <zlib.h>

#include <climits>
#include <string>
#include <vector>

#include "engine/zlib_engine.h"
#include "support/temp_dir.h"

namespace {

// Follows a run through the two hooks.
class TracingEngine : public ZlibEngine {
 public:
  void reportProgress(int percent) override {
    percents.push_back(percent);
    if (abortAtCall > 0 && static_cast<int>(percents.size()) == abortAtCall) abortRequested = 1;
  }
  void reportStatus(const char* message) override { statuses.push_back(message); }

  std::vector<int> percents;
  std::vector<std::string> statuses;
  int abortAtCall = 0;
};

struct EngineTest : ::testing::Test {
  ScopedTempDir dir;
  TracingEngine engine;

  int inflateBytes(const std::string& packed, std::string* out) {
    writeFile("in.z", packed);
    int result = engine.decompress("in.z", "out");
    *out = readFile("out");
    return result;
  }
};

TEST_F(EngineTest, InflatesStreamsFromZlibsOwnWriterAtEveryLevel) {
  const std::string inputs[] = {makeBytes(1, 1, true), makeBytes(4096, 2, true),
                                makeBytes(4097, 3, false), makeBytes(3 << 20, 4, true),
                                makeBytes(1 << 20, 5, false)};
  for (const std::string& data : inputs) {
    for (int level : {0, 1, 6, 9}) {
      std::string out;
      engine.statuses.clear();
      ASSERT_EQ(inflateBytes(zlibStream(data, level), &out), Z_OK) << data.size() << " " << level;
      EXPECT_EQ(out, data);
      EXPECT_EQ(engine.statuses, std::vector<std::string>{"Success"});
      EXPECT_EQ(engine.input, nullptr);
      EXPECT_EQ(engine.output, nullptr);
    }
  }
}

TEST_F(EngineTest, ReportsProgressUpToAllOfTheInput) {
  std::string data = makeBytes(600000, 7, false);
  std::string out;
  ASSERT_EQ(inflateBytes(zlibStream(data, 6), &out), Z_OK);
  ASSERT_GT(engine.percents.size(), 10u);
  for (std::size_t i = 1; i < engine.percents.size(); ++i) {
    EXPECT_LE(engine.percents[i - 1], engine.percents[i]);
  }
  EXPECT_EQ(engine.percents.back(), 100);
}

TEST_F(EngineTest, CompressWritesStreamsAnyZlibReaderAccepts) {
  const std::string inputs[] = {"", "x", makeBytes(5 << 20, 8, true), makeBytes(200000, 9, false)};
  auto crcOf = [](const std::string& bytes) {
    return static_cast<std::uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
  };
  for (const std::string& data : inputs) {
    writeFile("plain", data);
    for (int level : {0, 1, 9}) {
      ASSERT_EQ(engine.compress("plain", "packed", level), Z_OK);
      std::string packed = readFile("packed");
      // What the run summed is what it read and what it wrote.
      EXPECT_EQ(engine.total_in, data.size());
      EXPECT_EQ(engine.inputCrc, crcOf(data));
      EXPECT_EQ(engine.total_out, packed.size());
      EXPECT_EQ(engine.outputCrc, crcOf(packed));
      // Independent check with zlib's one-shot reader.
      std::string back(data.size() + 1, '\0');
      uLongf size = static_cast<uLongf>(back.size());
      ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(back.data()), &size,
                           reinterpret_cast<const Bytef*>(packed.data()),
                           static_cast<uLong>(packed.size())),
                Z_OK);
      back.resize(size);
      EXPECT_EQ(back, data);
      // And a round trip through the engine itself.
      ASSERT_EQ(engine.decompress("packed", "again"), Z_OK);
      EXPECT_EQ(readFile("again"), data);
    }
  }
  writeFile("plain", makeBytes(1 << 20, 10, true));
  ASSERT_EQ(engine.compress("plain", "fast", 1), Z_OK);
  ASSERT_EQ(engine.compress("plain", "small", 9), Z_OK);
  EXPECT_LT(readFile("small").size(), readFile("fast").size());
}

TEST_F(EngineTest, BadInputGivesZlibErrorsNeverSuccess) {
  std::string data = makeBytes(300000, 11, true);
  std::string packed = zlibStream(data);
  std::string out;

  std::string corrupt = packed;
  corrupt[corrupt.size() / 2] ^= 0x55;
  corrupt[corrupt.size() / 2 + 1] ^= 0x55;
  int result = inflateBytes(corrupt, &out);
  EXPECT_TRUE(result == Z_DATA_ERROR || result == Z_BUF_ERROR) << result;
  EXPECT_EQ(engine.statuses.back(), "Zlib Error");

  EXPECT_EQ(inflateBytes("this is not a zlib stream at all", &out), Z_DATA_ERROR);
  EXPECT_EQ(engine.statuses.back(), "Zlib Error");

  // A stream cut short yields what it holds, then Z_BUF_ERROR.
  EXPECT_EQ(inflateBytes(packed.substr(0, packed.size() / 2), &out), Z_BUF_ERROR);
  EXPECT_EQ(engine.statuses.back(), "Zlib Error");
  EXPECT_GT(out.size(), 0u);
  EXPECT_EQ(out, data.substr(0, out.size()));

  // A stream missing only its checksum is still incomplete.
  EXPECT_EQ(inflateBytes(packed.substr(0, packed.size() - 2), &out), Z_BUF_ERROR);

  EXPECT_EQ(inflateBytes("", &out), Z_BUF_ERROR);
  EXPECT_TRUE(fileExists("out"));
  EXPECT_EQ(out, "");
  EXPECT_EQ(engine.statuses.back(), "Zlib Error");
}

TEST_F(EngineTest, IgnoresBytesAfterTheStream) {
  std::string data = makeBytes(10000, 12, true);
  std::string out;
  EXPECT_EQ(inflateBytes(zlibStream(data) + "trailing garbage", &out), Z_OK);
  EXPECT_EQ(out, data);
  EXPECT_EQ(engine.statuses.back(), "Success");
}

TEST_F(EngineTest, AFileThatDoesNotOpenLeavesTheOtherUntouched) {
  writeFile("out", "keep me");
  EXPECT_EQ(engine.decompress("missing.z", "out"), Z_ERRNO);
  EXPECT_EQ(readFile("out"), "keep me");
  EXPECT_EQ(engine.compress("missing", "out", 9), Z_ERRNO);
  EXPECT_EQ(readFile("out"), "keep me");
  EXPECT_EQ(engine.statuses.back(), "Zlib Error");

  writeFile("in.z", zlibStream("abc"));
  EXPECT_EQ(engine.decompress("in.z", "no-such-folder/out"), Z_ERRNO);
  EXPECT_EQ(readFile("in.z"), zlibStream("abc"));
  EXPECT_EQ(engine.input, nullptr);
  EXPECT_EQ(engine.output, nullptr);
}

TEST_F(EngineTest, AShortWriteIsNeverASuccess) {
  // /dev/full accepts the open and refuses every byte, like a full disk.
  writeFile("in.z", zlibStream(makeBytes(1 << 20, 13, true)));
  EXPECT_EQ(engine.decompress("in.z", "/dev/full"), Z_ERRNO);
  EXPECT_EQ(engine.statuses.back(), "Zlib Error");
  // Even when everything would fit in the stdio buffer.
  writeFile("small.z", zlibStream("tiny"));
  EXPECT_EQ(engine.decompress("small.z", "/dev/full"), Z_ERRNO);
  writeFile("plain", makeBytes(100000, 14, false));
  EXPECT_EQ(engine.compress("plain", "/dev/full", 6), Z_ERRNO);
  EXPECT_EQ(engine.statuses.back(), "Zlib Error");
}

TEST_F(EngineTest, OutputLimitStopsAStreamThatInflatesTooFar) {
  std::string bomb = zlibStream(std::string(50 << 20, '\0'));
  ASSERT_LT(bomb.size(), 100000u);
  engine.outputLimit = 1 << 20;
  std::string out;
  EXPECT_EQ(inflateBytes(bomb, &out), Z_ERRNO);
  EXPECT_LE(out.size(), 1u << 20);
  EXPECT_EQ(engine.statuses.back(), "Zlib Error");
  // A stream within the limit is untouched by it.
  std::string data = makeBytes(1 << 20, 15, true);
  EXPECT_EQ(inflateBytes(zlibStream(data), &out), Z_OK);
  EXPECT_EQ(out, data);
}

TEST_F(EngineTest, AbortFromTheProgressHookEndsTheRun) {
  writeFile("in.z", zlibStream(makeBytes(2 << 20, 16, false)));
  engine.abortAtCall = 3;
  EXPECT_EQ(engine.decompress("in.z", "out"), kUserAbort);
  EXPECT_EQ(engine.statuses, std::vector<std::string>{"User Abort"});
  // Stopped at the next loop test: three reports in the loop, one after it.
  EXPECT_EQ(engine.percents.size(), 4u);
  EXPECT_LT(readFile("out").size(), 2u << 20);

  // The flag is cleared by the next run.
  engine.abortAtCall = 0;
  engine.statuses.clear();
  EXPECT_EQ(engine.decompress("in.z", "out"), Z_OK);
  EXPECT_EQ(engine.statuses, std::vector<std::string>{"Success"});

  writeFile("plain", makeBytes(2 << 20, 17, false));
  engine.percents.clear();
  engine.abortAtCall = 2;
  EXPECT_EQ(engine.compress("plain", "packed", 6), kUserAbort);
  EXPECT_EQ(engine.statuses.back(), "User Abort");
}

TEST_F(EngineTest, PercentConsumedOnBothSidesOfTenMillion) {
  engine.inputLength = 0;
  engine.total_in = 0;
  EXPECT_EQ(engine.percentConsumed(), 100);

  engine.inputLength = 10000000;  // the largest length with the exact formula
  engine.total_in = 4590000;
  EXPECT_EQ(engine.percentConsumed(), 45);
  engine.total_in = 10000000;
  EXPECT_EQ(engine.percentConsumed(), 100);

  engine.inputLength = 10000001;  // from here the divisor is scaled instead
  engine.total_in = 5000000;
  EXPECT_EQ(engine.percentConsumed(), 50);  // 5000000 / 100000

  // total_in * 100 would wrap in 32 bits for these.
  engine.inputLength = INT32_MAX;
  engine.total_in = 2000000000;
  EXPECT_EQ(engine.percentConsumed(), 93);  // 2000000000 / 21474836
  engine.total_in = static_cast<uLong>(INT32_MAX);
  EXPECT_EQ(engine.percentConsumed(), 100);
  engine.inputLength = 1500000000;
  engine.total_in = 750000000;
  EXPECT_EQ(engine.percentConsumed(), 50);
}

}  // namespace
