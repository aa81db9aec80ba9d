// The zlib plugin's own cases: window bits, framings, zlib's state and check values. What every
// plugin must do is in plugin_suite_test.cpp.
#include <gtest/gtest.h>

#include "patch/decompress/zlib_plugin.h"
#include "tests/support/encoders.h"
#include "tests/decompress/plugin_harness.h"

namespace {

using hl_test::Bytes;
using Plugin = hl_test::PluginRun<_zlib_TStream>;

const hl_TPlugin* const kZlib = hl_plugin_for(HPATCH_LITE_COMPRESS_ZLIB);

Bytes prefix(int windowBits) { return Bytes{uint8_t(int8_t(windowBits))}; }

// Decodes data compressed with windowBits through a pool of `pool` bytes; false when the open or
// a read fails.
bool decodes_in(int windowBits, const Bytes& data, uint64_t pool) {
  Plugin run(kZlib, hl_test::tail(prefix(windowBits), hl_test::zlib_compress(data, windowBits)));
  if (!run.size(uint32_t(data.size())) || !run.open(8192, pool)) return false;
  auto r = run.read_all(4096);
  return r.ok && r.out == data;
}

// Every accepted framing: the size step reads only the prefix, and its figure M is the memory
// the decoder needs: M decodes a stream made with that window, M - 1 fails.
TEST(ZlibSize, AcceptedWindowBitsAndTheirMemory) {
  const Bytes data = hl_test::sample_data(70000, 10);
  for (int wb : {15, 31, -15, 9, -9, 25, 12, -12, 28}) {
    Plugin run(kZlib, hl_test::tail(prefix(wb), Bytes{1, 2, 3}));
    ASSERT_TRUE(run.size(1000)) << wb;
    EXPECT_EQ(1u, run.reader.pos) << "the size step reads only the prefix";
    EXPECT_EQ(1000u, run.record->outLeft);
    EXPECT_TRUE(decodes_in(wb, data, run.memSize)) << wb;
    EXPECT_FALSE(decodes_in(wb, data, run.memSize - 1)) << wb;
  }
}

TEST(ZlibSize, RejectedPrefixes) {
  for (int wb : {0, 8, -8, 16, 24, 7, -7, 32, 33, -16, -24, 127, -128, 47}) {
    Plugin run(kZlib, prefix(wb));
    EXPECT_FALSE(run.size(10)) << wb;
  }
}

// -25 is sized as a 2^9 window, as 25 is, but zlib refuses it when the inflater is set up.
TEST(ZlibOpen, WindowBitsZlibRefusesPassSizeButFailOpen) {
  Plugin gzip9(kZlib, prefix(25));
  ASSERT_TRUE(gzip9.size(10));
  Plugin run(kZlib, prefix(-25));
  ASSERT_TRUE(run.size(10));
  EXPECT_EQ(gzip9.memSize, run.memSize);
  EXPECT_FALSE(run.open(8192));
}

// The smallest pool that opens (one byte less fails the open) holds the inflater's state but not
// its window: with that pool the first read fails for want of the window.
TEST(ZlibOpen, PoolTooSmallForTheStateFails) {
  auto opens = [](uint64_t pool) {
    Plugin run(kZlib, prefix(15));
    return run.size(10) && run.open(8192, pool);
  };
  Plugin sized(kZlib, prefix(15));
  ASSERT_TRUE(sized.size(10));
  ASSERT_TRUE(opens(sized.memSize));
  ASSERT_FALSE(opens(0));
  uint64_t fails = 0,
           opensWith = sized.memSize;  // the least pool that opens lies in (fails, opensWith]
  while (opensWith - fails > 1) {
    const uint64_t mid = fails + (opensWith - fails) / 2;
    (opens(mid) ? opensWith : fails) = mid;
  }
  EXPECT_LT(opensWith, sized.memSize);
  EXPECT_FALSE(decodes_in(15, hl_test::sample_data(5000, 11), opensWith));
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
