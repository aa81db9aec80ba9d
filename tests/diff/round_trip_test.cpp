// Patches made by the library and applied by the patch driver give NEW back, for every body
// compression and every size class.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "diff/patch_maker.h"
#include "patch/hl_result.h"
#include "tests/support/file_io.h"
#include "tests/support/process_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_data.h"

namespace {

using hl_test::Bytes;
using hldiff::Compression;

const Compression kAll[] = {Compression::None, Compression::Tuz,     Compression::Zlib,
                            Compression::Gzip, Compression::Deflate, Compression::Lzma,
                            Compression::Lzma2};

struct Made {
  Bytes patch;
  Bytes applied;
  int result;
};

Made make_and_apply(const Bytes& old, const Bytes& neu, const hldiff::EncodeOptions& enc) {
  hldiff::MakeOptions opt;
  opt.encode = enc;
  Made m;
  m.patch = hldiff::make_patch(old.data(), old.size(), neu.data(), neu.size(), opt);
  hl_test::TempDir dir;
  hl_test::write_file(dir.file("old"), old);
  hl_test::write_file(dir.file("patch"), m.patch);
  m.result = hl_test::run_hpatchi_quietly(dir.file("old"), dir.file("patch"), dir.file("new"));
  if (m.result == HPATCHI_OK) m.applied = hl_test::read_file(dir.file("new"));
  return m;
}

void expect_round_trip(const Bytes& old, const Bytes& neu, const char* what) {
  for (Compression c : kAll) {
    hldiff::EncodeOptions enc;
    enc.compression = c;
    Made m = make_and_apply(old, neu, enc);
    ASSERT_EQ(m.result, HPATCHI_OK) << what << " with " << hldiff::compression_name(c);
    ASSERT_EQ(m.applied, neu) << what << " with " << hldiff::compression_name(c);
    // header: magic, the compress type, and newSize in the fewest bytes
    ASSERT_GE(m.patch.size(), 5u);
    EXPECT_EQ(m.patch[0], 0x68);
    EXPECT_EQ(m.patch[1], 0x49);
    unsigned n = m.patch[3] & 7;
    uint32_t newSize = 0;
    for (unsigned i = 0; i < n; ++i) newSize |= uint32_t(m.patch[4 + i]) << (8 * i);
    EXPECT_EQ(newSize, neu.size());
    EXPECT_TRUE(n == 0 || m.patch[4 + n - 1] != 0) << "newSize uses the fewest bytes";
  }
}

// The inputs are told free once and can be overwritten then: the patch is the one made with them
// kept, for a small OLD (sorted twice) and one beyond that, whose index stays for the trial's
// searches over all of NEW (a raw body: a coder there only makes the case slower).
TEST(RoundTrip, InputsAreNotReadAfterTheyAreToldFree) {
  const std::pair<size_t, Compression> cases[] = {{300000, Compression::Tuz},
                                                  {300000, Compression::Lzma2},
                                                  {(size_t(17) << 20) / 4, Compression::None}};
  for (const auto& [size, c] : cases) {
    hl_test::ProgramPair p = hl_test::program_like_pair(size, 21);
    hldiff::MakeOptions kept;
    kept.encode.compression = c;
    const Bytes expected =
        hldiff::make_patch(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), kept);
    hldiff::MakeOptions freed = kept;
    int calls = 0;
    freed.inputsDone = [&] {
      ++calls;
      std::fill(p.old.begin(), p.old.end(), uint8_t(0x55));
      std::fill(p.neu.begin(), p.neu.end(), uint8_t(0xAA));
    };
    EXPECT_EQ(hldiff::make_patch(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), freed),
              expected)
        << size << " bytes with " << hldiff::compression_name(c);
    EXPECT_EQ(calls, 1);
  }
}

TEST(RoundTrip, EmptyFiles) {
  expect_round_trip({}, {}, "empty to empty");
  expect_round_trip({}, hl_test::random_bytes(1000, 1), "empty old");
  expect_round_trip(hl_test::random_bytes(1000, 2), {}, "empty new");
}

TEST(RoundTrip, IdenticalFiles) {
  Bytes b = hl_test::random_bytes(100000, 3);
  expect_round_trip(b, b, "identical");
  hldiff::EncodeOptions enc;
  enc.compression = Compression::None;
  EXPECT_LT(make_and_apply(b, b, enc).patch.size(), 16u) << "one plain copy";
}

TEST(RoundTrip, TinyRandomPairs) {
  for (uint32_t seed = 0; seed < 12; ++seed) {
    std::mt19937 rng(seed);
    Bytes old = hl_test::random_bytes(rng() % 64, seed);
    Bytes neu = hl_test::with_point_edits(old, seed + 100, 3);
    expect_round_trip(old, neu, "tiny");
  }
}

TEST(RoundTrip, SmallAndMediumMutatedPairs) {
  Bytes old = hl_test::random_bytes(4096, 5);
  expect_round_trip(old, hl_test::with_point_edits(old, 6, 20), "small");
  Bytes big = hl_test::random_bytes(256 * 1024, 7);
  expect_round_trip(big, hl_test::with_point_edits(big, 8, 200), "medium");
}

TEST(RoundTrip, ProgramLikePairs) {
  hl_test::ProgramPair p = hl_test::program_like_pair(200 * 1024, 9);
  expect_round_trip(p.old, p.neu, "program-like");
  hldiff::EncodeOptions enc;
  enc.compression = Compression::Lzma2;
  EXPECT_LT(make_and_apply(p.old, p.neu, enc).patch.size(), p.neu.size() / 5);
}

TEST(RoundTrip, LargeProgramLikePair) {
  hl_test::ProgramPair p = hl_test::program_like_pair(3 << 20, 10);
  for (Compression c : {Compression::None, Compression::Tuz, Compression::Lzma2}) {
    hldiff::EncodeOptions enc;
    enc.compression = c;
    enc.level = c == Compression::Lzma2 ? 6 : 3;
    Made m = make_and_apply(p.old, p.neu, enc);
    ASSERT_EQ(m.result, HPATCHI_OK) << hldiff::compression_name(c);
    ASSERT_EQ(m.applied, p.neu) << hldiff::compression_name(c);
  }
}

TEST(RoundTrip, SmallDictionariesAndWindows) {
  hl_test::ProgramPair p = hl_test::program_like_pair(300 * 1024, 11);
  struct Case {
    Compression c;
    uint64_t dict;
  } cases[] = {{Compression::Tuz, 1000},   {Compression::Tuz, 1},
               {Compression::Zlib, 512},   {Compression::Deflate, 1024},
               {Compression::Gzip, 4096},  {Compression::Lzma, 4096},
               {Compression::Lzma2, 4096}, {Compression::Lzma2, uint64_t(1) << 30}};
  for (const Case& k : cases) {
    hldiff::EncodeOptions enc;
    enc.compression = k.c;
    enc.dictSize = k.dict;
    enc.level = 5;
    Made m = make_and_apply(p.old, p.neu, enc);
    ASSERT_EQ(m.result, HPATCHI_OK) << hldiff::compression_name(k.c) << " dict " << k.dict;
    ASSERT_EQ(m.applied, p.neu) << hldiff::compression_name(k.c) << " dict " << k.dict;
  }
}

TEST(RoundTrip, LongRunsOfOneByte) {
  Bytes old(200000, 0xAA);
  Bytes neu(300000, 0xAA);
  neu[150000] = 0;
  expect_round_trip(old, neu, "runs");
}

}  // namespace
