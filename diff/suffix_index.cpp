#include "diff/suffix_index.h"

#include <divsufsort.h>
#include <divsufsort64.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace hldiff {

SuffixIndex::SuffixIndex(const uint8_t* old, size_t oldSize) : old_(old), oldSize_(oldSize) {
  if (oldSize == 0) return;
  if (oldSize < static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    sa32_.resize(oldSize);
    if (divsufsort(old, sa32_.data(), static_cast<saidx_t>(oldSize)) != 0)
      throw std::runtime_error("suffix sorting failed");
  } else {
    sa64_.resize(oldSize);
    if (divsufsort64(old, sa64_.data(), static_cast<saidx64_t>(oldSize)) != 0)
      throw std::runtime_error("suffix sorting failed");
  }
}

size_t SuffixIndex::suffix_at(size_t rank) const {
  return sa32_.empty() ? static_cast<size_t>(sa64_[rank]) : static_cast<size_t>(sa32_[rank]);
}

size_t SuffixIndex::common_prefix(size_t oldPos, const uint8_t* needle, size_t limit) const {
  size_t n = std::min(limit, oldSize_ - oldPos);
  const uint8_t* a = old_ + oldPos;
  size_t i = 0;
  while (i < n && a[i] == needle[i]) ++i;
  return i;
}

std::pair<size_t, size_t> SuffixIndex::rank_range(const uint8_t* needle, size_t needleSize) const {
  // Negative, zero or positive as the suffix at pos sorts before, with or after the needle.
  auto order = [&](size_t pos) {
    const size_t n = std::min(needleSize, oldSize_ - pos);
    const int c = std::memcmp(old_ + pos, needle, n);
    return c != 0 ? c : (n < needleSize ? -1 : 0);
  };
  size_t lo = 0, hi = oldSize_;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (order(suffix_at(mid)) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  const size_t first = lo;
  hi = oldSize_;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (order(suffix_at(mid)) <= 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return {first, lo};
}

Match SuffixIndex::longest_match(const uint8_t* needle, size_t needleSize,
                                 size_t maxCompare) const {
  Match best;
  if (oldSize_ == 0 || needleSize == 0) return best;
  size_t limit = std::min(needleSize, maxCompare);
  // Binary search for the needle's place among the sorted suffixes; the longest match is one
  // of the two neighbours. Bytes known to agree with both bounds are not compared again.
  size_t lo = 0, hi = oldSize_ - 1;
  size_t loLcp = common_prefix(suffix_at(lo), needle, limit);
  size_t hiLcp = common_prefix(suffix_at(hi), needle, limit);
  while (hi - lo > 1) {
    size_t mid = lo + (hi - lo) / 2;
    size_t pos = suffix_at(mid);
    size_t skip = std::min(loLcp, hiLcp);
    size_t n = std::min(limit, oldSize_ - pos);
    size_t i = std::min(skip, n);
    const uint8_t* a = old_ + pos;
    while (i < n && a[i] == needle[i]) ++i;
    bool suffixSmaller = (i == limit) ? false : (i == n || a[i] < needle[i]);
    if (i == limit) {  // the whole compared part matches: nothing longer can be found
      best.oldPos = pos;
      best.length = i;
      return best;
    }
    if (suffixSmaller) {
      lo = mid;
      loLcp = i;
    } else {
      hi = mid;
      hiLcp = i;
    }
  }
  if (loLcp >= hiLcp) {
    best.oldPos = suffix_at(lo);
    best.length = loLcp;
  } else {
    best.oldPos = suffix_at(hi);
    best.length = hiLcp;
  }
  return best;
}

}  // namespace hldiff
