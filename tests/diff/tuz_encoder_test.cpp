#include "diff/tuz_encoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "diff/body_encoder.h"
#include "diff/tuz_bit_writer.h"
#include "patch/decompress/tuz_decoder.h"
#include "tests/support/memory_io.h"
#include "tests/support/test_data.h"

namespace {

using hl_test::Bytes;

struct DecodeSetup {
  uint32_t cacheSize = 8192;
  uint32_t readerChunk = hl_test::MemoryReader::kNoLimit;
  uint32_t request = 4096;
};

// Decodes a whole tuz payload (dictionary size and code stream) with the project's decoder.
Bytes decode(const Bytes& payload, const DecodeSetup& s) {
  hl_test::MemoryReader reader(payload);
  uint32_t dictSize = tuz_TStream_read_dict_size(&reader, hl_test::MemoryReader::read);
  reader.maxChunk = s.readerChunk;  // the prefix is read whole; the stream in small pieces
  EXPECT_GE(dictSize, 1u);
  EXPECT_LE(dictSize, hldiff::kTuzMaxDictSize);
  std::vector<hl_byte> memory(size_t(dictSize) + s.cacheSize);
  tuz_TStream stream;
  std::memset(&stream, 0, sizeof stream);
  if (tuz_TStream_open(&stream, &reader, hl_test::MemoryReader::read, memory.data(), dictSize,
                       s.cacheSize) != TUZ_OK) {
    ADD_FAILURE() << "open failed";
    return {};
  }
  Bytes out;
  std::vector<hl_byte> buf(s.request);
  for (;;) {
    uint32_t count = s.request;
    int rc = tuz_TStream_decode(&stream, buf.data(), &count);
    if (rc != TUZ_OK && rc != TUZ_STREAM_END) {
      ADD_FAILURE() << "decoder result " << rc << " after " << out.size() << " bytes";
      return out;
    }
    out.insert(out.end(), buf.begin(), buf.begin() + count);
    if (rc == TUZ_STREAM_END) break;
  }
  EXPECT_EQ(reader.pos, payload.size()) << "the end code is the last thing in the stream";
  return out;
}

Bytes text_like(size_t size, uint32_t seed) {
  static const char* words[] = {"patch ", "cover ",  "literal ", "old ", "new ",
                                "the ",   "runner ", "Quorlin ", "\n",   "0x00000000 "};
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < size) {
    const char* w = words[rng() % 10];
    b.insert(b.end(), w, w + std::strlen(w));
  }
  b.resize(size);
  return b;
}

// Long distances: a random block repeated with small changes, period above 2687.
Bytes far_repeats(size_t size, uint32_t seed) {
  Bytes unit = hl_test::random_bytes(5000, seed);
  Bytes b;
  std::mt19937 rng(seed);
  while (b.size() < size) {
    b.insert(b.end(), unit.begin(), unit.end());
    unit[rng() % unit.size()] ^= 1;
  }
  b.resize(size);
  return b;
}

Bytes patch_body_like(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < size) {
    size_t zeros = rng() % 300;
    b.insert(b.end(), zeros, 0);
    size_t lits = rng() % 40;
    for (size_t i = 0; i < lits; ++i) b.push_back(static_cast<uint8_t>(rng()));
  }
  b.resize(size);
  return b;
}

TEST(TuzBitWriter, ReproducesTheDocumentedStreams) {
  Bytes out;
  hldiff::TuzBitWriter w(out);
  w.put_bit(1);
  w.put_byte('A');
  w.put_bit(1);
  w.put_byte('B');
  w.put_bit(0);
  w.put_length_code(4);
  w.put_bit(0);
  w.put_byte(2);
  w.put_bit(0);
  w.put_length_code(3);
  w.put_byte(0);
  EXPECT_EQ(out, (Bytes{0x1B, 0x41, 0x42, 0x02, 0x0C, 0x00}));

  Bytes out2;
  hldiff::TuzBitWriter w2(out2);
  w2.put_bit(0);
  w2.put_length_code(1);
  w2.put_byte(0);
  w2.put_count_code(1);
  for (char c = 'A'; c <= 'P'; ++c) w2.put_byte(static_cast<uint8_t>(c));
  w2.put_bit(0);
  w2.put_length_code(0);
  w2.put_bit(1);
  w2.put_bit(0);
  w2.put_length_code(3);
  w2.put_byte(0);
  Bytes expected{0x0A, 0x00};
  for (char c = 'A'; c <= 'P'; ++c) expected.push_back(static_cast<uint8_t>(c));
  expected.insert(expected.end(), {0x32, 0x00});
  EXPECT_EQ(out2, expected);
}

TEST(TuzBitWriter, SkippedFlagBitsAndACopyGoOnInTheirOwnFlagBytes) {
  Bytes out;
  hldiff::TuzBitWriter w(out);
  w.put_bit(1);
  w.put_distance(127);
  w.skip_flag_bits();
  w.put_bit(1);
  w.put_distance(128 + 5 + 128 * 2);  // low bits 5, count code 2
  Bytes copy = out;
  hldiff::TuzBitWriter c(copy, w);
  c.put_bit(1);
  w.put_bit(0);
  w.put_bit(1);
  EXPECT_EQ(out, (Bytes{0x01, 0x7F, 0x25, 0x85}));
  EXPECT_EQ(copy, (Bytes{0x01, 0x7F, 0x15, 0x85}));
}

TEST(TuzBitWriter, CodeGroupBoundaries) {
  using W = hldiff::TuzBitWriter;
  EXPECT_EQ(W::length_code_groups(1), 1u);
  EXPECT_EQ(W::length_code_groups(2), 2u);
  EXPECT_EQ(W::length_code_groups(5), 2u);
  EXPECT_EQ(W::length_code_groups(6), 3u);
  EXPECT_EQ(W::count_code_groups(3), 1u);
  EXPECT_EQ(W::count_code_groups(4), 2u);
  EXPECT_EQ(W::count_code_groups(19), 2u);
  EXPECT_EQ(W::count_code_groups(20), 3u);
  EXPECT_EQ(W::count_code_groups(83), 3u);
  EXPECT_EQ(W::count_code_groups(84), 4u);
}

struct Sample {
  const char* name;
  Bytes data;
};

std::vector<Sample> samples() {
  return {
      {"empty", {}},
      {"one byte", {0x42}},
      {"zeros", Bytes(100000, 0)},
      {"random", hl_test::random_bytes(40000, 11)},
      {"text", text_like(60000, 12)},
      {"far repeats", far_repeats(60000, 13)},
      {"patch body", patch_body_like(80000, 14)},
  };
}

TEST(TuzEncoder, RoundTripsAcrossDictionarySizesAndLevels) {
  for (const Sample& s : samples()) {
    for (uint32_t dict : {1u, 100u, 3000u, 65536u, 1u << 24}) {
      for (int level : {1, 6, 9}) {
        hldiff::TuzOptions opt;
        opt.dictSize = dict;
        opt.level = level;
        Bytes payload = hldiff::tuz_encode(s.data.data(), s.data.size(), opt);
        uint32_t written = uint32_t(payload[0]) | uint32_t(payload[1]) << 8 |
                           uint32_t(payload[2]) << 16 | uint32_t(payload[3]) << 24;
        EXPECT_EQ(written, hldiff::tuz_dict_size_for(s.data.size(), opt));
        EXPECT_LE(written, std::max<uint32_t>(dict, 1));
        ASSERT_EQ(decode(payload, DecodeSetup{}), s.data)
            << s.name << " dict " << dict << " level " << level;
      }
    }
  }
}

TEST(TuzEncoder, DecodesWithAnyRequestCacheAndReaderSize) {
  Bytes data = patch_body_like(30000, 21);
  Bytes more = text_like(30000, 22);
  data.insert(data.end(), more.begin(), more.end());
  hldiff::TuzOptions opt;
  opt.dictSize = 5000;  // smaller than the data: distances stay inside it
  Bytes payload = hldiff::tuz_encode(data.data(), data.size(), opt);
  for (uint32_t request : {1u, 3u, 17u, 4096u, 1u << 20}) {
    for (uint32_t cache : {1u, 5u, 8192u}) {
      for (uint32_t chunk : {1u, 1000u, hl_test::MemoryReader::kNoLimit}) {
        ASSERT_EQ(decode(payload, DecodeSetup{cache, chunk, request}), data)
            << "request " << request << " cache " << cache << " chunk " << chunk;
      }
    }
  }
}

TEST(TuzEncoder, CompressesRedundantData) {
  Bytes zeros(1 << 20, 0);
  EXPECT_LT(hldiff::tuz_encode(zeros.data(), zeros.size(), {}).size(), 64u);
  Bytes text = text_like(1 << 16, 5);
  EXPECT_LT(hldiff::tuz_encode(text.data(), text.size(), {}).size(), text.size() / 3);
  // Incompressible data costs little more than itself (literal blocks).
  Bytes rnd = hl_test::random_bytes(1 << 16, 6);
  EXPECT_LT(hldiff::tuz_encode(rnd.data(), rnd.size(), {}).size(), rnd.size() + 64);
}

TEST(TuzEncoder, DictionarySizeIsTrimmedAndBounded) {
  hldiff::TuzOptions opt;
  opt.dictSize = 0xFFFFFFFFu;
  EXPECT_EQ(hldiff::tuz_dict_size_for(0, opt), 1u);
  EXPECT_EQ(hldiff::tuz_dict_size_for(5000, opt), 5000u);
  EXPECT_EQ(hldiff::tuz_dict_size_for(size_t(3) << 30, opt), hldiff::kTuzMaxDictSize);
  opt.dictSize = 0;
  EXPECT_EQ(hldiff::tuz_dict_size_for(5000, opt), 1u);
}

uint32_t written_dict(const Bytes& payload) {
  return uint32_t(payload[0]) | uint32_t(payload[1]) << 8 | uint32_t(payload[2]) << 16 |
         uint32_t(payload[3]) << 24;
}

// The body coder fits tuz's dictionary to a body's matches, never coding it larger than with the
// default dictionary; a dictionary asked for is kept.
TEST(TuzEncoder, BodyDictionaryIsFittedUnlessAskedFor) {
  hldiff::EncodeOptions chosen;
  chosen.compression = hldiff::Compression::Tuz;
  hldiff::EncodeOptions asked = chosen;
  asked.dictSize = hldiff::kDefaultDictCap;
  // Matches only close by, and a block that repeats from 70000 bytes back.
  Bytes near = patch_body_like(300000, 31);
  Bytes far = patch_body_like(300000, 32);
  std::copy(far.begin() + 1000, far.begin() + 41000, far.begin() + 71000);
  for (const Bytes* body : {&near, &far}) {
    const Bytes kept = hldiff::encode_body(*body, asked).payload;
    const Bytes fitted = hldiff::encode_body(*body, chosen).payload;
    EXPECT_EQ(written_dict(kept), body->size());  // the default, trimmed to the body
    EXPECT_LE(fitted.size(), kept.size());
    EXPECT_LT(written_dict(fitted), body->size());
    if (body == &far) {
      EXPECT_GT(written_dict(fitted), 70000u);
    }
    ASSERT_EQ(decode(fitted, DecodeSetup{}), *body);
  }
}

}  // namespace
