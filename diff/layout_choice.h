// Picks the cover prices and the plain-copy split that make the smallest coded body, by coding
// the candidate layouts of a few windows of NEW with the coder that will code the whole body.
#ifndef DIFF_LAYOUT_CHOICE_H
#define DIFF_LAYOUT_CHOICE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "diff/body_encoder.h"
#include "diff/cover_search.h"
#include "diff/suffix_index.h"

namespace hldiff {

struct Layout {
  CoverCosts costs;
  size_t plainRunMin = 0;  // see BodyOptions
  size_t costsIndex = 0;   // which of the trial's price sets costs is
};

// A body coded whole during the trial, with its length before coding.
struct CodedBody {
  size_t bodySize = 0;
  EncodedBody encoded;
};

struct LayoutTrial {
  EncodeOptions encode;
  size_t readBlock = 0;  // as in BodyOptions
  size_t windowSize = size_t(256) << 10;
  size_t windowCount = 4;  // NEW up to windowSize * windowCount is tried whole
  // Candidates coded at once; each holds a coder of its own, so more threads cost memory.
  unsigned threads = 2;
  unsigned searchPieces = 1;  // as find_covers takes them, for searches over all of NEW
  // Candidates that code the windows within this fraction of the smallest are coded whole,
  // searched over all of NEW, when choose() is given the index: a few windows of a sparse
  // update can rank candidates that differ by a percent or two either way.
  double closeFraction = 0.01;
  // Close candidates whose covers on every window are those of an earlier close one with the
  // same split are not coded whole: where each whole coding is a long pass, it is kept for
  // candidates that differ.
  bool wholeDistinctOnly = false;
  // Keeps the smallest whole coding, written with readBlock and the default padding, for
  // take_coded(): a body that turns out final need not be coded twice.
  bool keepWholeCoding = false;
};

// The trial in two steps, so that OLD's index need not live while the candidates are coded:
// the windows' covers for every candidate price set are searched first, then coded.
class LayoutChoice {
 public:
  // Searches the windows with index.
  LayoutChoice(const uint8_t* old, size_t oldSize, const uint8_t* neu, size_t newSize,
               const SuffixIndex& index, const LayoutTrial& trial);
  // Codes the candidates; with OLD's index, the close ones are also coded whole.
  Layout choose(const SuffixIndex* index = nullptr);
  // The covers of all of NEW under the chosen price set when choose() searched them, else
  // nothing; they are handed over once.
  std::optional<std::vector<Cover>> take_covers(const Layout& chosen);
  // The whole coding of the chosen layout's body when the trial kept one; handed over once.
  std::optional<CodedBody> take_coded(const Layout& chosen);

 private:
  // The close candidates (indexes into layouts, ascending) less those whose window covers
  // and split are an earlier one's.
  std::vector<size_t> distinct_on_windows(
      const std::vector<size_t>& close,
      const std::vector<std::pair<size_t, size_t>>& layouts) const;

  const uint8_t* old_;
  size_t oldSize_;
  const uint8_t* neu_;
  size_t newSize_;
  LayoutTrial trial_;
  std::vector<std::pair<size_t, size_t>> windows_;
  std::vector<CoverCosts> costs_;
  std::vector<std::vector<std::vector<Cover>>> covers_;  // per price set, per window
  // Covers of all of NEW searched by choose(), per price set.
  std::vector<std::optional<std::vector<Cover>>> whole_;
  std::optional<CodedBody> coded_;
  std::pair<size_t, size_t> codedLayout_{};  // price set and split of coded_
};

Layout choose_layout(const uint8_t* old, size_t oldSize, const uint8_t* neu, size_t newSize,
                     const SuffixIndex& index, const LayoutTrial& trial);

// The NEW ranges [first, second) that stand for the whole file in trials.
std::vector<std::pair<size_t, size_t>> trial_windows(size_t newSize, size_t windowSize,
                                                     size_t windowCount);

}  // namespace hldiff

#endif
