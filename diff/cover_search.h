// Finds the covers of NEW in OLD: exact matches from the suffix index, extended over small
// differences so that code moved with shifted addresses stays one cover.
#ifndef DIFF_COVER_SEARCH_H
#define DIFF_COVER_SEARCH_H

#include <vector>

#include "diff/cover.h"
#include "diff/suffix_index.h"

namespace hldiff {

// What the body's coder is expected to spend, in bits, on each kind of body byte.
struct CoverCosts {
  double literalBits = 6.0;     // a byte of a literal run
  double zeroDiffBits = 0.25;   // a difference byte of 0 (an agreeing byte)
  double diffBits = 6.5;        // any other difference byte
  double headerByteBits = 6.0;  // a byte of a cover's length, tag or literal length
  double repeatDiffBits = 3.0;  // a non-zero difference byte equal to the one 4 or 8 before
};

// Covers in ascending, non-overlapping order of newPos, each lying inside OLD.
std::vector<Cover> find_covers(const uint8_t* old, size_t oldSize, const uint8_t* neu,
                               size_t newSize, const SuffixIndex& index,
                               const CoverCosts& costs = {}, const ProgressFn& progress = {});

}  // namespace hldiff

#endif
