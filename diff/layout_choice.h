// Picks the cover prices and the plain-copy split that make the smallest coded body, by coding
// the candidate layouts of a few windows of NEW with the coder that will code the whole body.
#ifndef DIFF_LAYOUT_CHOICE_H
#define DIFF_LAYOUT_CHOICE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "diff/body_encoder.h"
#include "diff/cover_search.h"
#include "diff/suffix_index.h"

namespace hldiff {

struct Layout {
  CoverCosts costs;
  size_t plainRunMin = 0;  // see BodyOptions
};

struct LayoutTrial {
  EncodeOptions encode;
  size_t readBlock = 0;        // as in BodyOptions
  size_t windowSize = size_t(256) << 10;
  size_t windowCount = 4;      // NEW up to windowSize * windowCount is tried whole
  unsigned threads = 2;
};

Layout choose_layout(const uint8_t* old, size_t oldSize, const uint8_t* neu, size_t newSize,
                     const SuffixIndex& index, const LayoutTrial& trial);

// The NEW ranges [first, second) that stand for the whole file in trials.
std::vector<std::pair<size_t, size_t>> trial_windows(size_t newSize, size_t windowSize,
                                                     size_t windowCount);

}  // namespace hldiff

#endif
