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
  // Candidates coded at once; each holds a coder of its own, so more threads cost memory.
  unsigned threads = 2;
};

// The trial in two steps, so that OLD's index need not live while the candidates are coded:
// the windows' covers for every candidate price set are searched first, then coded.
class LayoutChoice {
 public:
  // Searches with index, which is not used afterwards.
  LayoutChoice(const uint8_t* old, size_t oldSize, const uint8_t* neu, size_t newSize,
               const SuffixIndex& index, const LayoutTrial& trial);
  Layout choose() const;

 private:
  const uint8_t* old_;
  size_t oldSize_;
  const uint8_t* neu_;
  LayoutTrial trial_;
  std::vector<std::pair<size_t, size_t>> windows_;
  std::vector<CoverCosts> costs_;
  std::vector<std::vector<std::vector<Cover>>> covers_;  // per price set, per window
};

Layout choose_layout(const uint8_t* old, size_t oldSize, const uint8_t* neu, size_t newSize,
                     const SuffixIndex& index, const LayoutTrial& trial);

// The NEW ranges [first, second) that stand for the whole file in trials.
std::vector<std::pair<size_t, size_t>> trial_windows(size_t newSize, size_t windowSize,
                                                     size_t windowCount);

}  // namespace hldiff

#endif
