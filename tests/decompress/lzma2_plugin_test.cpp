// The LZMA2 plugin (liblzma's raw decoder) through its four operations.
#include <gtest/gtest.h>

#if HL_HAVE_LZMA2

#include <random>

#include "patch/decompress/lzma2_plugin.h"
#include "tests/decompress/encoders.h"
#include "tests/decompress/plugin_harness.h"

namespace {

using hl_test::Bytes;
using hl_test::PluginOps;
using Plugin = hl_test::PluginRun<_lzma2_TStream>;

const PluginOps<_lzma2_TStream> kLzma2 = {_lzma2_TStream_getReservedMemSize, _lzma2_TStream_open,
                                          _lzma2_TStream_read, [](_lzma2_TStream* s) {
                                            _lzma2_TStream_close(s);
                                            return true;
                                          }};

uint64_t align16(uint64_t v) { return (v + 15) & ~uint64_t(15); }

TEST(Lzma2Size, DictionaryPropertiesAndTheirMemory) {
  Plugin zero(kLzma2, Bytes{0});
  ASSERT_TRUE(zero.size(5));
  const uint64_t fixed = zero.memSize - 4096;
  EXPECT_GT(fixed, 0u);
  for (uint8_t prop : {1, 16, 17, 30, 39, 40}) {
    Plugin run(kLzma2, Bytes{prop, 0x00});
    ASSERT_TRUE(run.size(5)) << int(prop);
    EXPECT_EQ(fixed + align16(hl_test::lzma2_dict_size(prop)), run.memSize) << int(prop);
    EXPECT_EQ(1u, run.reader.pos);
  }
  EXPECT_EQ(6144u, hl_test::lzma2_dict_size(1));
  EXPECT_EQ(1048576u, hl_test::lzma2_dict_size(16));
}

TEST(Lzma2Size, RejectedPrefixes) {
  for (uint8_t prop : {41, 42, 255}) {
    Plugin run(kLzma2, Bytes{prop});
    EXPECT_FALSE(run.size(5)) << int(prop);
  }
  Plugin empty(kLzma2, Bytes{});
  EXPECT_FALSE(empty.size(5));
  Plugin failing(kLzma2, Bytes{0});
  failing.reader.failAll = true;
  EXPECT_FALSE(failing.size(5));
}

TEST(Lzma2Open, TheMeasuredPoolIsExactlyEnough) {
  for (uint8_t prop : {0, 1, 16}) {
    Plugin fits(kLzma2, Bytes{prop});
    ASSERT_TRUE(fits.size(5));
    EXPECT_TRUE(fits.open(64)) << int(prop);
    Plugin tight(kLzma2, Bytes{prop});
    ASSERT_TRUE(tight.size(5));
    EXPECT_FALSE(tight.open(64, tight.memSize - 1)) << int(prop);
  }
}

TEST(Lzma2Read, RoundTripsForDictProps0And1And16WithAndWithoutEndByte) {
  Bytes data = hl_test::sample_data(120000, 31);
  for (uint8_t prop : {0, 1, 16}) {
    Bytes stream = hl_test::lzma2_compress(data, prop);
    ASSERT_EQ(0, stream.back());
    for (bool endByte : {true, false}) {
      Bytes s = stream;
      if (!endByte) s.pop_back();
      for (uint32_t request : {1u, 999u, 120000u}) {
        for (uint32_t cache : {1u, 8192u}) {
          if (request == 1 && cache == 1) continue;
          Plugin run(kLzma2, hl_test::tail(Bytes{prop}, s), cache == 1 ? 3 : UINT32_MAX);
          ASSERT_TRUE(run.size(uint32_t(data.size())));
          ASSERT_TRUE(run.open(cache));
          auto r = run.read_all(request);
          EXPECT_TRUE(r.ok) << int(prop) << " " << endByte << " " << request << " " << cache;
          EXPECT_TRUE(hl_test::same_bytes(data, r.out)) << int(prop) << " " << endByte << " " << request << " " << cache;
        }
      }
    }
  }
}

TEST(Lzma2Read, ReaderClaimingMoreThanAskedIsHeldToTheCache) {
  Bytes data = hl_test::sample_data(20000, 35);
  Plugin run(kLzma2, hl_test::tail(Bytes{0}, hl_test::lzma2_compress(data, 0)));
  ASSERT_TRUE(run.size(uint32_t(data.size())));
  ASSERT_TRUE(run.open(256));
  run.reader.overReport = 5000;
  auto r = run.read_all(1000);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(hl_test::same_bytes(data, r.out));
}

TEST(Lzma2Read, ZeroRequestCapAndShortStream) {
  Bytes data = hl_test::sample_data(4000, 32);
  Bytes stream = hl_test::lzma2_compress(data, 0);
  {
    Plugin run(kLzma2, hl_test::tail(Bytes{0}, stream));
    ASSERT_TRUE(run.size(3000));
    ASSERT_TRUE(run.open(8192));
    EXPECT_EQ(1u, run.reader.calls) << "only the prefix was read";
    run.expect_zero_request_and_exhausted_cap(data, 3000, 4000, 9);
  }
  for (bool endByte : {true, false}) {
    Bytes s = stream;
    if (!endByte) s.pop_back();
    Plugin run(kLzma2, hl_test::tail(Bytes{0}, s));
    ASSERT_TRUE(run.size(4001));
    ASSERT_TRUE(run.open(8192));
    auto r = run.read_all(100);
    EXPECT_FALSE(r.ok) << endByte;
    EXPECT_EQ(data, r.out) << endByte;
  }
}

TEST(Lzma2Read, TruncatedAndCorruptStreamsFail) {
  Bytes data = hl_test::sample_data(60000, 33);
  Bytes stream = hl_test::lzma2_compress(data, 16);
  {
    Plugin run(kLzma2, hl_test::tail(Bytes{16}, Bytes(stream.begin(), stream.begin() + stream.size() / 2)));
    ASSERT_TRUE(run.size(uint32_t(data.size())));
    ASSERT_TRUE(run.open(8192));
    EXPECT_FALSE(run.read_all(4096).ok);
  }
  {
    Bytes bad = stream;
    bad[0] = 0x03;  // not a valid LZMA2 control byte
    Plugin run(kLzma2, hl_test::tail(Bytes{16}, bad));
    ASSERT_TRUE(run.size(uint32_t(data.size())));
    ASSERT_TRUE(run.open(8192));
    EXPECT_FALSE(run.read_all(4096).ok);
  }
  {
    Plugin run(kLzma2, hl_test::tail(Bytes{16}, stream));
    ASSERT_TRUE(run.size(uint32_t(data.size())));
    ASSERT_TRUE(run.open(8192));
    run.reader.failAll = true;
    hl_byte buf[4];
    uint32_t count = 4;
    EXPECT_FALSE(run.read(buf, &count));
  }
}

TEST(Lzma2Read, RandomCorruptionNeverEscapesTheBuffers) {
  Bytes data = hl_test::sample_data(20000, 34);
  Bytes stream = hl_test::lzma2_compress(data, 1);
  std::mt19937 rng(7);
  for (int round = 0; round < 100; ++round) {
    Bytes bad = stream;
    for (int i = 0; i < 3; ++i) bad[rng() % bad.size()] ^= uint8_t(1 + rng() % 255);
    Plugin run(kLzma2, hl_test::tail(Bytes{1}, bad));
    ASSERT_TRUE(run.size(uint32_t(data.size())));
    ASSERT_TRUE(run.open(1 + rng() % 300));
    auto r = run.read_all(1 + rng() % 5000);
    EXPECT_LE(r.out.size(), data.size());
  }
}

}  // namespace

#endif
