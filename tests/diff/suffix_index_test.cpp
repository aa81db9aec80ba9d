#include "diff/suffix_index.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/support/test_data.h"

namespace {

using hl_test::Bytes;
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

}  // namespace

TEST(SuffixIndex, RankRangeGivesEveryCopyOfAByteString) {
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    Bytes old(1 + rng() % 400);
    for (auto& b : old) b = static_cast<uint8_t>('a' + rng() % 3);
    SuffixIndex index(old.data(), old.size());
    for (int q = 0; q < 30; ++q) {
      Bytes needle(1 + rng() % 6);
      for (auto& b : needle) b = static_cast<uint8_t>('a' + rng() % 3);
      std::vector<size_t> expected, found;
      for (size_t p = 0; p + needle.size() <= old.size(); ++p)
        if (std::equal(needle.begin(), needle.end(), old.begin() + static_cast<std::ptrdiff_t>(p)))
          expected.push_back(p);
      const auto [first, last] = index.rank_range(needle.data(), needle.size());
      for (size_t r = first; r < last; ++r) found.push_back(index.position_at(r));
      std::sort(found.begin(), found.end());
      ASSERT_EQ(found, expected);
    }
  }
}
