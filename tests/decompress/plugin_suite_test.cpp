// What every compressing plugin of the driver's table must do, run over each of them: zlib, LZMA
// and LZMA2. Each plugin's own prefixes, framings and faults are in its own suite.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "patch/decompress/plugin_table.h"
#include "tests/support/encoders.h"
#include "tests/decompress/plugin_harness.h"

namespace {

using hl_test::Bytes;
using Plugin = hl_test::PluginRun<>;

// A compress type with an encoder for its patch tails.
struct Codec {
  const char* name;
  uint32_t type;
  size_t prefixSize;                 // bytes of the tail that the size step reads
  Bytes (*tail)(const Bytes& data);  // prefix and compressed stream
};

const Codec kCodecs[] = {
    {"zlib", HPATCH_LITE_COMPRESS_ZLIB, 1,
     [](const Bytes& data) {
       return hl_test::tail(Bytes{uint8_t(-15)}, hl_test::zlib_compress(data, -15));
     }},
    {"lzma", HPATCH_LITE_COMPRESS_LZMA, 6,
     [](const Bytes& data) {
       auto enc = hl_test::lzma_compress(data, 4096, true);
       return hl_test::tail(hl_test::tail(Bytes{5}, enc.props), enc.data);
     }},
    {"lzma2", HPATCH_LITE_COMPRESS_LZMA2, 1,
     [](const Bytes& data) { return hl_test::tail(Bytes{0}, hl_test::lzma2_compress(data, 0)); }},
};

void PrintTo(const Codec& codec, std::ostream* os) { *os << codec.name; }

class PluginSuite : public ::testing::TestWithParam<Codec> {
 protected:
  const hl_TPlugin* plugin() const { return hl_plugin_for(GetParam().type); }
  Bytes tail(const Bytes& data) const { return GetParam().tail(data); }
};

TEST_P(PluginSuite, SizeStepReadsOnlyThePrefixAndOpenReadsNothing) {
  Bytes data = hl_test::sample_data(3000, 40);
  Plugin run(plugin(), tail(data));
  ASSERT_TRUE(run.size(uint32_t(data.size())));
  EXPECT_EQ(GetParam().prefixSize, run.reader.pos);
  ASSERT_TRUE(run.open(8192));
  EXPECT_EQ(GetParam().prefixSize, run.reader.pos);
}

TEST_P(PluginSuite, EmptyOrFailingReaderFailsTheSizeStep) {
  Plugin empty(plugin(), Bytes{});
  EXPECT_FALSE(empty.size(10));
  Plugin failing(plugin(), tail(hl_test::sample_data(100, 41)));
  failing.reader.failAll = true;
  EXPECT_FALSE(failing.size(10));
}

// A pool one byte short of the size step's figure fails at open or, where the decoder asks for
// part of its memory later (zlib's window), at the first read.
TEST_P(PluginSuite, PoolOneByteShortFailsToOpenOrToDecode) {
  Bytes data = hl_test::sample_data(5000, 42);
  Plugin run(plugin(), tail(data));
  ASSERT_TRUE(run.size(uint32_t(data.size())));
  if (run.open(8192, run.memSize - 1)) {
    EXPECT_FALSE(run.read_all(100).ok);
  }
  Plugin exact(plugin(), tail(data));
  ASSERT_TRUE(exact.size(uint32_t(data.size())));
  ASSERT_TRUE(exact.open(8192, exact.memSize));
  EXPECT_TRUE(hl_test::same_bytes(data, exact.read_all(100).out));
}

TEST_P(PluginSuite, RoundTripsInManyRequestAndCacheSizes) {
  Bytes data = hl_test::sample_data(100000, 43);
  Bytes t = tail(data);
  for (uint32_t request : {1u, 7u, 4096u, 100000u}) {
    for (uint32_t cache : {1u, 13u, 8192u}) {
      if (request == 1 && cache != 13) continue;  // slow, and one tiny pairing covers it
      Plugin run(plugin(), t);
      ASSERT_TRUE(run.size(uint32_t(data.size())));
      ASSERT_TRUE(run.open(cache));
      auto r = run.read_all(request);
      EXPECT_TRUE(r.ok) << request << " " << cache;
      EXPECT_TRUE(hl_test::same_bytes(data, r.out)) << request << " " << cache;
    }
  }
}

// The body's reader may come up short anywhere; the prefix is read whole, as the raw reader gives
// it.
TEST_P(PluginSuite, ShortRawDeliveriesAndTinyCache) {
  Bytes data = hl_test::sample_data(20000, 44);
  Plugin run(plugin(), tail(data));
  ASSERT_TRUE(run.size(uint32_t(data.size())));
  run.reader.maxChunk = 3;
  ASSERT_TRUE(run.open(1));
  auto r = run.read_all(1);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(hl_test::same_bytes(data, r.out));
}

TEST_P(PluginSuite, ReaderClaimingMoreThanAskedIsHeldToTheCache) {
  Bytes data = hl_test::sample_data(20000, 45);
  Plugin run(plugin(), tail(data));
  ASSERT_TRUE(run.size(uint32_t(data.size())));
  ASSERT_TRUE(run.open(256));
  run.reader.overReport = 5000;
  auto r = run.read_all(1000);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(hl_test::same_bytes(data, r.out));
}

TEST_P(PluginSuite, ZeroRequestAndExhaustedCapReadNothing) {
  Bytes data = hl_test::sample_data(1000, 46);
  Plugin run(plugin(), tail(data));
  ASSERT_TRUE(run.size(600));
  ASSERT_TRUE(run.open(8192));
  run.expect_zero_request_and_exhausted_cap(data, 600, 1000, 5);
}

// The stream's last byte fails the read that needs it; every byte before it is delivered.
TEST_P(PluginSuite, StreamShorterThanUncompressSizeFails) {
  Bytes data = hl_test::sample_data(5000, 47);
  Plugin over(plugin(), tail(data));
  ASSERT_TRUE(over.size(5001));
  ASSERT_TRUE(over.open(8192));
  auto r = over.read_all(100);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(hl_test::same_bytes(data, r.out));
  Plugin exact(plugin(), tail(data));
  ASSERT_TRUE(exact.size(5000));
  ASSERT_TRUE(exact.open(8192));
  std::vector<hl_byte> buf(5000);
  uint32_t count = 5000;
  EXPECT_TRUE(exact.read(buf.data(), &count));
  EXPECT_EQ(5000u, count);
}

TEST_P(PluginSuite, TruncatedStreamAndFailingReaderFail) {
  Bytes data = hl_test::sample_data(60000, 48);
  Bytes t = tail(data);
  {
    Plugin run(plugin(), Bytes(t.begin(), t.begin() + t.size() / 2), 1000);
    ASSERT_TRUE(run.size(uint32_t(data.size())));
    ASSERT_TRUE(run.open(8192));
    auto r = run.read_all(4096);
    EXPECT_FALSE(r.ok);
    EXPECT_LT(r.out.size(), data.size());
  }
  {
    Plugin run(plugin(), t);
    ASSERT_TRUE(run.size(uint32_t(data.size())));
    ASSERT_TRUE(run.open(8192));
    run.reader.failAll = true;
    hl_byte buf[4];
    uint32_t count = 4;
    EXPECT_FALSE(run.read(buf, &count));
  }
}

// Under the sanitizers this catches any read or write beyond the block or the output.
TEST_P(PluginSuite, RandomCorruptionNeverEscapesTheBuffers) {
  Bytes data = hl_test::sample_data(20000, 49);
  Bytes t = tail(data);
  const size_t prefix = GetParam().prefixSize;
  std::mt19937 rng(6);
  for (int round = 0; round < 100; ++round) {
    Bytes bad = t;
    for (int i = 0; i < 4; ++i)
      bad[prefix + rng() % (bad.size() - prefix)] ^= uint8_t(1 + rng() % 255);
    Plugin run(plugin(), bad);
    ASSERT_TRUE(run.size(uint32_t(data.size())));
    ASSERT_TRUE(run.open(1 + rng() % 300));
    auto r = run.read_all(1 + rng() % 5000);
    EXPECT_LE(r.out.size(), data.size());
  }
}

// Close is due after any size step; the harness closes once more at its end.
TEST_P(PluginSuite, CloseAfterAFailedSizeStepAndAfterReading) {
  Plugin failed(plugin(), Bytes{});
  EXPECT_FALSE(failed.size(10));
  EXPECT_TRUE(plugin()->close(failed.state.get()));
  Bytes data = hl_test::sample_data(3000, 50);
  Plugin read(plugin(), tail(data));
  ASSERT_TRUE(read.size(uint32_t(data.size())));
  ASSERT_TRUE(read.open(64));
  EXPECT_TRUE(hl_test::same_bytes(data, read.read_all(1000).out));
  EXPECT_TRUE(plugin()->close(read.state.get()));
}

INSTANTIATE_TEST_SUITE_P(Plugins, PluginSuite, ::testing::ValuesIn(kCodecs),
                         [](const ::testing::TestParamInfo<Codec>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
