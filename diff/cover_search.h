// Finds the covers of NEW in OLD: exact matches from the suffix index, extended over small
// differences so that code moved with shifted addresses stays one cover.
#ifndef DIFF_COVER_SEARCH_H
#define DIFF_COVER_SEARCH_H

#include <vector>

#include "diff/cover.h"
#include "diff/suffix_index.h"

namespace hldiff {

// What the body's coder is expected to spend, in bits, on each kind of body byte. The
// defaults are those that won most often on program updates with a compressing coder.
struct CoverCosts {
  double literalBits = 6.0;      // a byte of a literal run
  double zeroDiffBits = 0.1;     // a difference byte of 0 (an agreeing byte)
  double diffBits = 16.0;        // any other difference byte
  double headerByteBits = 10.0;  // a byte of a cover's length, tag or literal length
  // A non-zero difference byte equal to one of the same alignment's few bytes before it.
  double repeatDiffBits = 0.1;
};

// Covers in ascending, non-overlapping order of newPos, each lying inside OLD. NEW is searched
// in up to the given number of equal pieces (each at least 1 MiB), one thread per piece; the
// covers depend on the number of pieces, never on the threads' timing.
std::vector<Cover> find_covers(const uint8_t* old, size_t oldSize, const uint8_t* neu,
                               size_t newSize, const SuffixIndex& index,
                               const CoverCosts& costs = {}, const ProgressFn& progress = {},
                               unsigned pieces = 1);

}  // namespace hldiff

#endif
