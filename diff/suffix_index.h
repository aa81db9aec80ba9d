// Longest-match lookups in OLD through its suffix array.
#ifndef DIFF_SUFFIX_INDEX_H
#define DIFF_SUFFIX_INDEX_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace hldiff {

struct Match {
  size_t oldPos = 0;
  size_t length = 0;
};

class SuffixIndex {
 public:
  // Sorts every suffix of old; old must outlive the index.
  SuffixIndex(const uint8_t* old, size_t oldSize);

  // The longest prefix of needle[0, needleSize) that occurs in old, compared up to maxCompare
  // bytes (which keeps lookups in long runs of equal bytes cheap).
  Match longest_match(const uint8_t* needle, size_t needleSize, size_t maxCompare) const;

  // The ranks [first, last) of the suffixes of old that start with needle[0, needleSize), and
  // where the suffix of a rank starts: every copy of a byte string, in suffix order.
  std::pair<size_t, size_t> rank_range(const uint8_t* needle, size_t needleSize) const;
  size_t position_at(size_t rank) const { return suffix_at(rank); }

  size_t old_size() const { return oldSize_; }

 private:
  size_t suffix_at(size_t rank) const;
  size_t common_prefix(size_t oldPos, const uint8_t* needle, size_t limit) const;

  const uint8_t* old_;
  size_t oldSize_;
  // 32-bit entries while they suffice, halving the index for the common case.
  std::vector<int32_t> sa32_;
  std::vector<int64_t> sa64_;
};

}  // namespace hldiff

#endif
