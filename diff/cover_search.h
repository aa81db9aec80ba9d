// Finds the covers of NEW in OLD: exact matches from the suffix index, extended over small
// differences so that code moved with shifted addresses stays one cover.
#ifndef DIFF_COVER_SEARCH_H
#define DIFF_COVER_SEARCH_H

#include <vector>

#include "diff/cover.h"
#include "diff/suffix_index.h"

namespace hldiff {

// Covers in ascending, non-overlapping order of newPos, each lying inside OLD.
std::vector<Cover> find_covers(const uint8_t* old, size_t oldSize, const uint8_t* neu,
                               size_t newSize, const SuffixIndex& index,
                               const ProgressFn& progress = {});

}  // namespace hldiff

#endif
