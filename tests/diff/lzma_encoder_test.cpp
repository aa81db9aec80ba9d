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
  for (size_t i = 0; i < size; i += 1000)
    std::fill(b.begin() + i, b.begin() + std::min(size, i + 700), 0);
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

// The dictionary an LZMA payload states in its five property bytes.
uint32_t lzma_dictionary(const Bytes& payload) {
  return uint32_t(payload[2]) | uint32_t(payload[3]) << 8 | uint32_t(payload[4]) << 16 |
         uint32_t(payload[5]) << 24;
}

// The dictionary an LZMA2 payload states in its property byte.
uint32_t lzma2_dictionary(const Bytes& payload) {
  return (2u | (payload[0] & 1u)) << (payload[0] / 2 + 11);
}

// Random bytes with zero runs, and the first repeatBytes of them again after distance bytes.
Bytes with_repeat(size_t distance, size_t repeatBytes, uint32_t seed) {
  Bytes b = mixed(distance, seed);
  b.insert(b.end(), b.begin(), b.begin() + static_cast<std::ptrdiff_t>(repeatBytes));
  return b;
}

TEST(LzmaEncoder, FittedDictionaryCodesNoLargerAndStillReachesTheRepeats) {
  // Repeats only close together: the fitted dictionary falls far below the data's length.
  // A block repeated from 80000 bytes back: the dictionary keeps reaching it.
  for (size_t distance : {size_t(0), size_t(80000)}) {
    Bytes data = distance == 0 ? mixed(120000, 21) : with_repeat(distance, 30000, 22);
    hldiff::LzmaOptions opt;
    opt.level = 6;
    opt.bodyTuned = false;  // the quick search: each step codes the data once more
    opt.literalContextBits = 0;
    opt.dictSize = 256 << 10;
    const Bytes fixed = hldiff::lzma_encode(data.data(), data.size(), opt);
    const Bytes fixed2 = hldiff::lzma2_encode(data.data(), data.size(), opt);
    opt.fitDictionary = true;
    const Bytes fitted = hldiff::lzma_encode(data.data(), data.size(), opt);
    const Bytes fitted2 = hldiff::lzma2_encode(data.data(), data.size(), opt);
    EXPECT_LE(fitted.size(), fixed.size()) << distance;
    EXPECT_LE(fitted2.size(), fixed2.size()) << distance;
    EXPECT_EQ(lzma2_decode(fitted2, data.size()), data) << distance;
    for (uint32_t dict : {lzma_dictionary(fitted), lzma2_dictionary(fitted2)}) {
      if (distance == 0)
        EXPECT_LE(dict, 32u << 10);
      else
        EXPECT_GE(dict, distance);
    }
  }
}

// Data above fitBelowHalfUpTo tries the steps down to half the dictionary and no further; data
// above fitDictionaryUpTo keeps the dictionary it was given.
TEST(LzmaEncoder, LargerDataFitsItsDictionaryDownToHalfAtMost) {
  const Bytes data = mixed(300000, 23);  // repeats only close together
  for (bool two : {false, true}) {
    hldiff::LzmaOptions opt;
    opt.level = 6;
    opt.bodyTuned = false;
    opt.literalContextBits = 0;
    opt.dictSize = 256 << 10;
    opt.fitDictionary = true;
    opt.fitBelowHalfUpTo = 1000;
    auto encode = [&] {
      return two ? hldiff::lzma2_encode(data.data(), data.size(), opt)
                 : hldiff::lzma_encode(data.data(), data.size(), opt);
    };
    auto dictionary = [&](const Bytes& p) {
      return two ? lzma2_dictionary(p) : lzma_dictionary(p);
    };
    const Bytes halved = encode();
    EXPECT_GE(dictionary(halved), 128u << 10) << two;
    EXPECT_LT(dictionary(halved), 256u << 10) << two;
    if (two) {
      EXPECT_EQ(lzma2_decode(halved, data.size()), data);
    }
    opt.fitDictionaryUpTo = data.size() - 1;
    const Bytes kept = encode();
    EXPECT_EQ(dictionary(kept), 256u << 10) << two;
    EXPECT_LE(halved.size(), kept.size()) << two;
  }
}

TEST(BodyEncoder, DictionaryAskedForIsKeptAndTheChosenOneFitted) {
  const Bytes body = mixed(120000, 24);
  for (auto c : {hldiff::Compression::Lzma, hldiff::Compression::Lzma2}) {
    hldiff::EncodeOptions asked;
    asked.compression = c;
    asked.level = 6;
    asked.dictSize = 64 << 10;
    hldiff::EncodeOptions chosen = asked;
    chosen.dictSize = 0;
    const Bytes kept = hldiff::encode_body(body, asked).payload;
    const Bytes fitted = hldiff::encode_body(body, chosen).payload;
    const bool two = c == hldiff::Compression::Lzma2;
    EXPECT_EQ(two ? lzma2_dictionary(kept) : lzma_dictionary(kept), 64u << 10);
    EXPECT_LT(two ? lzma2_dictionary(fitted) : lzma_dictionary(fitted), 64u << 10);
  }
}

}  // namespace
