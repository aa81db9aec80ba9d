// The LZMA plugin's own cases (LzmaDec): properties, end marks and the dictionary. What every
// plugin must do is in plugin_suite_test.cpp.
#include <gtest/gtest.h>

#include "patch/decompress/lzma_plugin.h"
#include "tests/support/encoders.h"
#include "tests/decompress/plugin_harness.h"

namespace {

using hl_test::Bytes;
using Plugin = hl_test::PluginRun<_lzma_TStream>;

const hl_TPlugin* const kLzma = hl_plugin_for(HPATCH_LITE_COMPRESS_LZMA);

// propsSize, the 5 properties, extra property bytes up to propsSize, then the data.
Bytes lzma_tail(const hl_test::LzmaEncoded& enc, unsigned propsSize = 5) {
  Bytes t;
  t.reserve(1 + propsSize + enc.data.size());
  t.push_back(uint8_t(propsSize));
  for (uint8_t b : enc.props) t.push_back(b);
  for (unsigned i = 5; i < propsSize; ++i) t.push_back(uint8_t(0xE0 + i));
  for (uint8_t b : enc.data) t.push_back(b);
  return t;
}

Bytes props(uint8_t first, uint32_t dictSize) {
  return Bytes{first, uint8_t(dictSize), uint8_t(dictSize >> 8), uint8_t(dictSize >> 16),
               uint8_t(dictSize >> 24)};
}

// Each properties byte and dictionary size: the size step reads only the prefix and forgets the
// dry run's addresses, and its figure M is what the decoder needs: M decodes a stream made with
// those properties, M - 1 fails to open.
TEST(LzmaSize, MeasuresTablesAndDictionary) {
  struct Case {
    uint8_t first;
    int lc, lp, pb;
    uint32_t dict;
  };
  const Bytes data = hl_test::sample_data(30000, 29);
  for (Case c : {Case{93, 3, 0, 2, 1u << 20}, Case{0, 0, 0, 0, 4096}, Case{224, 8, 4, 4, 65536},
                 Case{93, 3, 0, 2, 100}}) {
    Bytes t{5};
    Bytes p = props(c.first, c.dict);
    t.insert(t.end(), p.begin(), p.end());
    t.push_back(0x00);
    Plugin run(kLzma, t);
    ASSERT_TRUE(run.size(77)) << int(c.first);
    EXPECT_EQ(6u, run.reader.pos) << "nothing of the stream is read";
    EXPECT_EQ(nullptr, run.record->decoder.dic) << "the dry run's addresses are forgotten";
    EXPECT_EQ(nullptr, run.record->decoder.probs);
    EXPECT_EQ(77u, run.record->feed.outLeft);

    // The encoder's smallest dictionary is 4096 bytes, which the decoder holds for any smaller one.
    hl_test::LzmaEncoded enc =
        hl_test::lzma_compress(data, std::max<uint32_t>(c.dict, 4096), true, c.lc, c.lp, c.pb);
    enc.props = p;
    Plugin fits(kLzma, lzma_tail(enc));
    ASSERT_TRUE(fits.size(uint32_t(data.size())));
    ASSERT_EQ(run.memSize, fits.memSize) << int(c.first);
    ASSERT_TRUE(fits.open(64, fits.memSize)) << int(c.first);
    auto r = fits.read_all(4096);
    EXPECT_TRUE(r.ok) << int(c.first);
    EXPECT_TRUE(hl_test::same_bytes(data, r.out)) << int(c.first);
    Plugin tight(kLzma, lzma_tail(enc));
    ASSERT_TRUE(tight.size(uint32_t(data.size())));
    EXPECT_FALSE(tight.open(64, tight.memSize - 1)) << int(c.first);
  }
}

TEST(LzmaSize, RejectedPrefixes) {
  for (uint8_t propsSize : {0, 9, 200}) {
    Bytes t{propsSize};
    for (int i = 0; i < 10; ++i) t.push_back(0);
    Plugin run(kLzma, t);
    EXPECT_FALSE(run.size(10)) << int(propsSize);
  }
  for (uint8_t propsSize = 1; propsSize <= 4; ++propsSize) {
    Bytes t{propsSize, 93, 0, 0, 1, 0, 0, 0};
    Plugin run(kLzma, t);
    EXPECT_FALSE(run.size(10)) << int(propsSize);
  }
  for (uint8_t first : {225, 255}) {
    Bytes t{5};
    Bytes p = props(first, 1 << 16);
    t.insert(t.end(), p.begin(), p.end());
    Plugin run(kLzma, t);
    EXPECT_FALSE(run.size(10)) << int(first);
  }
  Plugin cut(kLzma, Bytes{7, 93, 0, 0, 1, 0, 0});  // ends inside the property bytes
  EXPECT_FALSE(cut.size(10));
}

TEST(LzmaRead, RoundTripsWithAndWithoutEndMarkAndFiveToEightPropertyBytes) {
  Bytes data = hl_test::sample_data(150000, 21);
  for (bool endMark : {false, true}) {
    auto enc = hl_test::lzma_compress(data, 1 << 16, endMark);
    for (unsigned propsSize = 5; propsSize <= 8; ++propsSize) {
      for (uint32_t request : {1u, 1000u, 150000u}) {
        Plugin run(kLzma, lzma_tail(enc, propsSize));
        ASSERT_TRUE(run.size(uint32_t(data.size())));
        ASSERT_TRUE(run.open(8192));
        auto r = run.read_all(request);
        EXPECT_TRUE(r.ok) << endMark << " " << propsSize << " " << request;
        EXPECT_TRUE(hl_test::same_bytes(data, r.out))
            << endMark << " " << propsSize << " " << request;
      }
    }
  }
}

TEST(LzmaRead, OutputLongerThanTheDictionaryWrapsItContinuously) {
  Bytes data = hl_test::sample_data(100000, 22);
  auto enc = hl_test::lzma_compress(data, 4096, false, 0, 2, 0);
  for (uint32_t request : {1u, 777u, 4096u, 5000u}) {
    for (uint32_t cache : {1u, 13u, 8192u}) {
      Plugin run(kLzma, lzma_tail(enc));
      ASSERT_TRUE(run.size(uint32_t(data.size())));
      ASSERT_TRUE(run.open(cache));
      EXPECT_EQ(4096u, run.record->decoder.dicBufSize)
          << "the output is longer than the dictionary";
      auto r = run.read_all(request);
      EXPECT_TRUE(r.ok) << request << " " << cache;
      EXPECT_TRUE(hl_test::same_bytes(data, r.out)) << request << " " << cache;
    }
  }
}

TEST(LzmaRead, SmallRequestLeavesTheRestInTheDictionary) {
  Bytes data = hl_test::sample_data(30000, 23);
  auto enc = hl_test::lzma_compress(data, 1 << 16, true);
  Plugin run(kLzma, lzma_tail(enc));
  ASSERT_TRUE(run.size(uint32_t(data.size())));
  ASSERT_TRUE(run.open(8192));
  hl_byte buf[10];
  uint32_t count = 10;
  ASSERT_TRUE(run.read(buf, &count));
  EXPECT_GT(run.record->decoder.dicPos, run.record->feed.dicCopied) << "decoded ahead";
  unsigned calls = run.reader.calls;
  count = 10;
  ASSERT_TRUE(run.read(buf, &count));
  EXPECT_EQ(calls, run.reader.calls) << "served from the dictionary";
  EXPECT_EQ(0, std::memcmp(buf, data.data() + 10, 10));
}

// Without an end mark the input running out is what ends the stream.
TEST(LzmaRead, StreamWithoutEndMarkShorterThanUncompressSizeFails) {
  Bytes data = hl_test::sample_data(5000, 25);
  auto enc = hl_test::lzma_compress(data, 1 << 16, false);
  Plugin run(kLzma, lzma_tail(enc));
  ASSERT_TRUE(run.size(5001));
  ASSERT_TRUE(run.open(8192));
  auto r = run.read_all(100);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(data, r.out);
}

TEST(LzmaRead, RangeCoderFirstByteNotZeroFails) {
  Bytes data = hl_test::sample_data(60000, 26);
  auto enc = hl_test::lzma_compress(data, 1 << 16, false);
  enc.data[0] = 0x55;
  Plugin run(kLzma, lzma_tail(enc));
  ASSERT_TRUE(run.size(uint32_t(data.size())));
  ASSERT_TRUE(run.open(8192));
  EXPECT_FALSE(run.read_all(4096).ok);
}

}  // namespace
