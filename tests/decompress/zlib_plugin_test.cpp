// The zlib plugin's own cases: window bits, framings, zlib's state and check values. What every
// plugin must do is in plugin_suite_test.cpp.
#include <gtest/gtest.h>

#include "patch/decompress/zlib_plugin.h"
#include "tests/decompress/encoders.h"
#include "tests/decompress/plugin_harness.h"

namespace {

using hl_test::Bytes;
using Plugin = hl_test::PluginRun<_zlib_TStream>;

const hl_TPlugin* const kZlib = hl_plugin_for(HPATCH_LITE_COMPRESS_ZLIB);


Bytes prefix(int windowBits) { return Bytes{uint8_t(int8_t(windowBits))}; }

TEST(ZlibSize, AcceptedWindowBitsAndTheirMemory) {
  const uint64_t state = hl_test::inflate_state_size();
  ASSERT_GT(state, 0u);
  for (int wb : {15, 31, -15, 9, -9, 25, 12, -12, 28}) {
    Plugin run(kZlib, hl_test::tail(prefix(wb), Bytes{1, 2, 3}));
    ASSERT_TRUE(run.size(1000)) << wb;
    int w = wb < 0 ? -wb : wb;
    if (w > 15) w -= 16;
    EXPECT_EQ((uint64_t(1) << w) + state, run.memSize) << wb;
    EXPECT_EQ(1u, run.reader.pos) << "the size step reads only the prefix";
    EXPECT_EQ(1000u, run.record->outLeft);
  }
}

TEST(ZlibSize, RejectedPrefixes) {
  for (int wb : {0, 8, -8, 16, 24, 7, -7, 32, 33, -16, -24, 127, -128, 47}) {
    Plugin run(kZlib, prefix(wb));
    EXPECT_FALSE(run.size(10)) << wb;
  }
}

TEST(ZlibOpen, WindowBitsZlibRefusesPassSizeButFailOpen) {
  Plugin run(kZlib, prefix(-25));
  ASSERT_TRUE(run.size(10));
  EXPECT_EQ(512u + hl_test::inflate_state_size(), run.memSize);
  EXPECT_FALSE(run.open(8192));
}

TEST(ZlibOpen, PoolTooSmallForTheStateFails) {
  Plugin run(kZlib, prefix(15));
  ASSERT_TRUE(run.size(10));
  EXPECT_FALSE(run.open(8192, hl_test::inflate_state_size() - 1));
}

TEST(ZlibRead, PoolWithoutRoomForTheWindowFailsTheRead) {
  Bytes data = hl_test::sample_data(5000, 1);
  Plugin run(kZlib, hl_test::tail(prefix(15), hl_test::zlib_compress(data, 15)));
  ASSERT_TRUE(run.size(uint32_t(data.size())));
  ASSERT_TRUE(run.open(8192, run.memSize - 1));
  EXPECT_FALSE(run.read_all(100).ok);
}

TEST(ZlibRead, RoundTripsEveryFramingInManyRequestSizes) {
  Bytes data = hl_test::sample_data(200000, 2);
  for (int wb : {15, 31, -15, 9}) {
    Bytes stream = hl_test::zlib_compress(data, wb);
    for (uint32_t request : {1u, 7u, 4096u, 200000u}) {
      for (uint32_t cache : {1u, 8192u}) {
        if (request == 1 && cache == 1) continue;  // slow and covered by the next loop
        Plugin run(kZlib, hl_test::tail(prefix(wb), stream));
        ASSERT_TRUE(run.size(uint32_t(data.size())));
        ASSERT_TRUE(run.open(cache));
        auto r = run.read_all(request);
        EXPECT_TRUE(r.ok) << wb << " " << request << " " << cache;
        EXPECT_TRUE(hl_test::same_bytes(data, r.out)) << wb << " " << request << " " << cache;
      }
    }
  }
}

TEST(ZlibRead, CapAtUncompressSizeDeliversOnlyThat) {
  Bytes data = hl_test::sample_data(10000, 5);
  Bytes stream = hl_test::zlib_compress(data, 15);
  stream.back() ^= 0xFF;  // a broken check value beyond the cap is never examined
  Plugin run(kZlib, hl_test::tail(prefix(15), stream));
  ASSERT_TRUE(run.size(6001));
  ASSERT_TRUE(run.open(8192));
  auto r = run.read_all(1000);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 6001), r.out);
  EXPECT_EQ(0u, run.record->outLeft);
}

TEST(ZlibRead, CorruptHeaderAndCheckValueFail) {
  Bytes data = hl_test::sample_data(50000, 7);
  Bytes stream = hl_test::zlib_compress(data, 15);
  {
    Bytes bad = stream;
    bad[1] ^= 0x01;  // the header check fails
    Plugin run(kZlib, hl_test::tail(prefix(15), bad));
    ASSERT_TRUE(run.size(uint32_t(data.size())));
    ASSERT_TRUE(run.open(8192));
    EXPECT_FALSE(run.read_all(4096).ok);
  }
  for (bool corrupt : {false, true}) {
    Bytes checked = stream;
    if (corrupt) checked[checked.size() - 2] ^= 0x10;  // the check value at the end
    // The whole stream fits the cache, so inflate reaches the check value within the read.
    Plugin run(kZlib, hl_test::tail(prefix(15), checked));
    ASSERT_TRUE(run.size(uint32_t(data.size())));
    ASSERT_TRUE(run.open(uint32_t(stream.size())));
    auto r = run.read_all(uint32_t(data.size()));
    EXPECT_EQ(!corrupt, r.ok);
  }
}

TEST(ZlibClose, BeforeAndAfterInitialisation) {
  _zlib_TStream record;
  std::memset(&record, 0, sizeof(record));
  EXPECT_TRUE(_zlib_TStream_close(&record));
  Plugin run(kZlib, prefix(15));
  ASSERT_TRUE(run.size(10));
  EXPECT_TRUE(_zlib_TStream_close(run.record));  // size only: nothing to end
  ASSERT_TRUE(run.open(64));
  EXPECT_NE(nullptr, run.record->strm.state);
  EXPECT_TRUE(_zlib_TStream_close(run.record));
  EXPECT_EQ(nullptr, run.record->strm.state);
}

}  // namespace
