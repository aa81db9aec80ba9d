// A stretch of NEW made from OLD: new[newPos, newPos + length) ~ old[oldPos, oldPos + length).
#ifndef DIFF_COVER_H
#define DIFF_COVER_H

#include <cstddef>
#include <cstdint>
#include <functional>

namespace hldiff {

struct Cover {
  size_t oldPos = 0;
  size_t newPos = 0;
  size_t length = 0;
};

// Called now and then with the bytes of NEW handled so far and the total.
using ProgressFn = std::function<void(size_t done, size_t total)>;

}  // namespace hldiff

#endif
