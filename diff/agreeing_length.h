// How many leading bytes two byte strings share, compared a machine word at a time.
#ifndef DIFF_AGREEING_LENGTH_H
#define DIFF_AGREEING_LENGTH_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace hldiff {

// The first i in [from, n) where a[i] != b[i], or n when there is none.
inline size_t agreeing_length(const uint8_t* a, const uint8_t* b, size_t from, size_t n) {
  size_t i = from;
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // The lowest set bit of the words' difference is in the first byte that differs.
  while (i + 8 <= n) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return i + static_cast<size_t>(__builtin_ctzll(x ^ y) / 8);
    i += 8;
  }
#endif
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

}  // namespace hldiff

#endif
