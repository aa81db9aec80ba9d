#include "diff/suffix_index.h"

#include <gtest/gtest.h>

#include <random>

#include "diff/cover_search.h"
#include "tests/diff/test_support.h"

namespace {

using difftest::Bytes;
using hldiff::SuffixIndex;

size_t brute_longest(const Bytes& old, const uint8_t* needle, size_t n) {
  size_t best = 0;
  for (size_t p = 0; p < old.size(); ++p) {
    size_t l = 0;
    while (l < n && p + l < old.size() && old[p + l] == needle[l]) ++l;
    best = std::max(best, l);
  }
  return best;
}

TEST(SuffixIndex, FindsTheLongestMatchLikeABruteForceSearch) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    Bytes old(1 + rng() % 300);
    for (auto& b : old) b = static_cast<uint8_t>('a' + rng() % 3);  // many repeats
    SuffixIndex index(old.data(), old.size());
    for (int q = 0; q < 50; ++q) {
      Bytes needle(1 + rng() % 20);
      for (auto& b : needle) b = static_cast<uint8_t>('a' + rng() % 4);
      hldiff::Match m = index.longest_match(needle.data(), needle.size(), 1000);
      size_t expected = brute_longest(old, needle.data(), needle.size());
      ASSERT_EQ(m.length, expected);
      ASSERT_LE(m.oldPos + m.length, old.size());
      ASSERT_TRUE(std::equal(needle.begin(), needle.begin() + m.length, old.begin() + m.oldPos));
    }
  }
}

TEST(SuffixIndex, StopsComparingAtTheLimitAndHandlesEmptyInputs) {
  Bytes old(1000, 'z');
  SuffixIndex index(old.data(), old.size());
  Bytes needle(500, 'z');
  EXPECT_EQ(index.longest_match(needle.data(), needle.size(), 64).length, 64u);
  EXPECT_EQ(index.longest_match(needle.data(), 0, 64).length, 0u);
  SuffixIndex empty(nullptr, 0);
  EXPECT_EQ(empty.longest_match(needle.data(), needle.size(), 64).length, 0u);
}

TEST(CoverSearch, CoversAreOrderedInsideBothFilesAndFindTheSharedParts) {
  difftest::Pair p = difftest::program_like_pair(1 << 16, 3);
  SuffixIndex index(p.old.data(), p.old.size());
  auto covers = hldiff::find_covers(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), index);
  size_t newEnd = 0, covered = 0, agreeing = 0;
  for (const auto& c : covers) {
    ASSERT_GE(c.newPos, newEnd);
    ASSERT_GT(c.length, 0u);
    ASSERT_LE(c.newPos + c.length, p.neu.size());
    ASSERT_LE(c.oldPos + c.length, p.old.size());
    newEnd = c.newPos + c.length;
    covered += c.length;
    for (size_t i = 0; i < c.length; ++i) agreeing += p.old[c.oldPos + i] == p.neu[c.newPos + i];
  }
  // Everything but the inserted block comes from OLD, almost all of it unchanged.
  EXPECT_GT(covered, p.neu.size() * 9 / 10);
  EXPECT_GT(agreeing, covered * 9 / 10);
}

TEST(CoverSearch, UnrelatedFilesGiveFewCovers) {
  Bytes old = difftest::random_bytes(1 << 14, 1), neu = difftest::random_bytes(1 << 14, 2);
  SuffixIndex index(old.data(), old.size());
  auto covers = hldiff::find_covers(old.data(), old.size(), neu.data(), neu.size(), index);
  size_t covered = 0;
  for (const auto& c : covers) covered += c.length;
  EXPECT_LT(covered, neu.size() / 20);
}

}  // namespace
