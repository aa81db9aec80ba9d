#include "diff/lzma_encoder.h"

#include <gtest/gtest.h>
#include <lzma.h>

#include "diff/body_encoder.h"
#include "tests/support/test_data.h"

namespace {

using hl_test::Bytes;

// Decodes a raw LZMA2 payload (dictionary property byte, then chunks) with liblzma.
Bytes lzma2_decode(const Bytes& payload, size_t expectedSize) {
  lzma_options_lzma opt{};
  lzma_filter filter{LZMA_FILTER_LZMA2, nullptr};
  EXPECT_EQ(lzma_properties_decode(&filter, nullptr, payload.data(), 1), LZMA_OK);
  lzma_filter filters[2] = {filter, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream s = LZMA_STREAM_INIT;
  EXPECT_EQ(lzma_raw_decoder(&s, filters), LZMA_OK);
  Bytes out(expectedSize + 100);
  s.next_in = payload.data() + 1;
  s.avail_in = payload.size() - 1;
  s.next_out = out.data();
  s.avail_out = out.size();
  lzma_ret rc = lzma_code(&s, LZMA_FINISH);
  EXPECT_EQ(rc, LZMA_STREAM_END);
  out.resize(out.size() - s.avail_out);
  lzma_end(&s);
  free(filter.options);
  (void)opt;
  return out;
}

Bytes mixed(size_t size, uint32_t seed) {
  Bytes b = hl_test::random_bytes(size, seed);
  for (size_t i = 0; i < size; i += 1000) std::fill(b.begin() + i, b.begin() + std::min(size, i + 700), 0);
  return b;
}

TEST(Lzma2Encoder, SegmentsJoinIntoOneStream) {
  Bytes data = mixed(1 << 20, 1);
  for (unsigned segments : {1u, 2u, 3u, 16u}) {
    hldiff::LzmaOptions opt;
    opt.level = 6;
    opt.segments = segments;
    opt.parallelFrom = 0;
    Bytes payload = hldiff::lzma2_encode(data.data(), data.size(), opt);
    EXPECT_EQ(lzma2_decode(payload, data.size()), data) << segments << " segments";
  }
}

TEST(LzmaEncoder, WritesFivePropertyBytesWithTheDictionarySize) {
  Bytes data = mixed(100000, 2);
  hldiff::LzmaOptions opt;
  opt.dictSize = 65536;
  Bytes payload = hldiff::lzma_encode(data.data(), data.size(), opt);
  ASSERT_GT(payload.size(), 6u);
  EXPECT_EQ(payload[0], 5);
  EXPECT_LT(payload[1], 225);
  uint32_t dict = uint32_t(payload[2]) | uint32_t(payload[3]) << 8 | uint32_t(payload[4]) << 16 |
                  uint32_t(payload[5]) << 24;
  EXPECT_EQ(dict, 65536u);
  EXPECT_EQ(hldiff::lzma_dict_size_for(10, opt), 4096u) << "never below LZMA's minimum";
  EXPECT_EQ(hldiff::lzma_dict_size_for(20000, opt), 20000u) << "trimmed to the data";
}

TEST(LzmaEncoder, DefaultDictionaryIsAnEighthOfTheBodyWithinItsBounds) {
  EXPECT_EQ(hldiff::lzma_default_dict_for(0), hldiff::kDefaultDictCap);
  EXPECT_EQ(hldiff::lzma_default_dict_for(size_t(1) << 20), hldiff::kDefaultDictCap);
  EXPECT_EQ(hldiff::lzma_default_dict_for(size_t(16) << 20), 2u << 20);
  EXPECT_EQ(hldiff::lzma_default_dict_for((size_t(16) << 20) - 1), 1u << 20);
  EXPECT_EQ(hldiff::lzma_default_dict_for(size_t(300) << 20), hldiff::kLargestDefaultLzmaDict);
}

TEST(LzmaEncoder, LiteralContextBitsChosenByTrialStillDecode) {
  // Mostly zero difference bytes with scattered values: a body where the trial may leave the
  // default; every choice must still give a stream that decodes to the data.
  Bytes data = mixed(300000, 12);
  for (int lc : {-1, 0, 4}) {
    hldiff::LzmaOptions opt;
    opt.literalContextBits = lc;
    opt.segments = 1;
    Bytes payload = hldiff::lzma2_encode(data.data(), data.size(), opt);
    EXPECT_EQ(lzma2_decode(payload, data.size()), data) << "lc " << lc;
  }
}

TEST(LzmaEncoder, LiteralContextBitsTriedOnTheWholeDataKeepTheSmallest) {
  // Data this short is its own trial sample: no setting may code it smaller than the chosen one.
  Bytes data = mixed(200000, 13);
  auto coded = [&](int lc) {
    hldiff::LzmaOptions opt;
    opt.literalContextBits = lc;
    return hldiff::lzma_encode(data.data(), data.size(), opt).size();
  };
  const size_t chosen = coded(-1);
  for (int lc = 0; lc <= 3; ++lc) EXPECT_LE(chosen, coded(lc)) << "lc " << lc;
}

}  // namespace
