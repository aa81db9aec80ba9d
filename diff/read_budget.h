// Keeps the applier's old-file loads within a budget. The applier reads OLD through a small
// window (patch/hl_window.h); a cover whose bytes the window does not hold costs a system
// call. On a large update with millions of short covers that jump anywhere in OLD this costs
// far more time than the bytes are worth, so after the search the covers are replayed against
// the window: a missing cover first moves to an equal copy of its old bytes that the window
// holds, and only then, when the loads still exceed the budget, the missing covers worth least
// are dropped (their bytes go to the body as literals, where its coder may still find them).
#ifndef DIFF_READ_BUDGET_H
#define DIFF_READ_BUDGET_H

#include <cstdint>
#include <vector>

#include "diff/cover.h"
#include "diff/cover_search.h"
#include "diff/suffix_index.h"

namespace hldiff {

struct ReadBudget {
  // Window loads allowed per MiB of NEW; the applier's other reads (of the patch) come on top.
  double loadsPerMiB = 80.0;
  uint64_t minLoads = 256;  // allowed however small NEW is
  // The applier reads a cover's old bytes in steps of at most this many (its body refill).
  size_t readStep = 12288;
  // The body writer's plainRunMin (BodyOptions): each piece of a cover is a read of its own.
  size_t plainRunMin = 0;
};

// The loads the applier's window makes reading the covers' old bytes in order.
uint64_t count_window_loads(const uint8_t* old, const uint8_t* neu, size_t oldSize,
                            const std::vector<Cover>& covers, const ReadBudget& budget);

// covers as find_covers gives them; the result is in the same order and form. index, when not
// null, must be OLD's; without it no cover moves.
std::vector<Cover> fit_read_budget(const uint8_t* old, size_t oldSize, const uint8_t* neu,
                                   size_t newSize, std::vector<Cover> covers,
                                   const SuffixIndex* index, const CoverCosts& costs,
                                   const ReadBudget& budget = {});

}  // namespace hldiff

#endif
