#include "diff/read_budget.h"

#include <algorithm>
#include <cmath>

#include "diff/read_window_model.h"

namespace hldiff {
namespace {

// Equal copies of a missing cover's old bytes looked at, in suffix order; common short byte
// strings have thousands, and the first few hundred find a held one when any does.
constexpr size_t kMaxCandidates = 256;
// Longer covers are not moved: their bytes hardly occur twice, and they load anyway.
constexpr size_t kMaxMovedLength = 4096;
// Threshold search: doublings of the upper bound and halvings of the interval.
constexpr int kMaxDoublings = 40;
constexpr int kBisections = 12;

unsigned read_cover(ReadWindowModel& window, const Cover& c, size_t readStep) {
  unsigned loads = 0;
  for (size_t done = 0; done < c.length; done += readStep)
    loads += window.read(c.oldPos + done, std::min(readStep, c.length - done));
  return loads;
}

int packed_bytes(uint64_t v) {
  int n = 1;
  while (n < 5 && (v >> (7 * n)) != 0) ++n;
  return n;
}

// What a cover saves against literals, in the search's prices: its bytes as literals, less
// its difference bytes and its header (with a far step, since a missing cover jumped).
double cover_worth(const uint8_t* old, const uint8_t* neu, const Cover& c, const CoverCosts& costs) {
  double bits = costs.literalBits * static_cast<double>(c.length);
  for (size_t i = 0; i < c.length; ++i)
    bits -= old[c.oldPos + i] == neu[c.newPos + i] ? costs.zeroDiffBits : costs.diffBits;
  bits -= costs.headerByteBits * (packed_bytes(c.length) + 4 + 1);
  return std::max(bits, 0.0);
}

// Moves each missing cover to a held equal copy of its old bytes, if it finds one; the
// window replays the covers as they end up.
void move_to_held_copies(const uint8_t* old, std::vector<Cover>& covers, size_t oldSize,
                         const SuffixIndex& index, size_t readStep) {
  ReadWindowModel window(oldSize);
  uint64_t runningOld = 0;
  for (Cover& c : covers) {
    if (c.length <= kMaxMovedLength && !window.holds(c.oldPos, c.length)) {
      const auto [first, last] = index.rank_range(old + c.oldPos, c.length);
      uint64_t best = c.oldPos, bestStep = UINT64_MAX;
      for (size_t r = first; r < last && r < first + kMaxCandidates; ++r) {
        const uint64_t at = index.position_at(r);
        if (!window.holds(at, c.length)) continue;
        const uint64_t step = at > runningOld ? at - runningOld : runningOld - at;
        if (step < bestStep) {
          best = at;
          bestStep = step;
        }
      }
      c.oldPos = static_cast<size_t>(best);
    }
    read_cover(window, c, readStep);
    runningOld = c.oldPos + c.length;
  }
}

// Keeps a missing cover when it is worth at least threshold bits per load, a held one always.
// Returns the loads of what is kept; keep says which.
uint64_t replay_kept(const std::vector<Cover>& covers, const std::vector<double>& worth,
                     size_t oldSize, size_t readStep, double threshold, std::vector<char>& keep) {
  ReadWindowModel window(oldSize);
  keep.assign(covers.size(), 1);
  for (size_t k = 0; k < covers.size(); ++k) {
    const Cover& c = covers[k];
    if (!window.holds(c.oldPos, c.length) && worth[k] < threshold) {
      keep[k] = 0;
      continue;
    }
    read_cover(window, c, readStep);
  }
  return window.loads();
}

// Between two kept covers of one alignment whose gap lost covers, one cover over the gap
// costs its difference bytes instead of literals and a header; taken when that is cheaper.
std::vector<Cover> join_over_gaps(const uint8_t* old, const uint8_t* neu, const std::vector<Cover>& kept,
                                  const std::vector<char>& hadDropped, const CoverCosts& costs) {
  std::vector<Cover> joined;
  joined.reserve(kept.size());
  for (size_t k = 0; k < kept.size(); ++k) {
    const Cover& c = kept[k];
    if (!joined.empty() && hadDropped[k]) {
      Cover& a = joined.back();
      const size_t gapFrom = a.newPos + a.length;
      if (c.oldPos - c.newPos == a.oldPos - a.newPos && c.oldPos >= a.oldPos) {
        double together = 0;
        for (size_t i = gapFrom; i < c.newPos; ++i)
          together += old[i + (a.oldPos - a.newPos)] == neu[i] ? costs.zeroDiffBits : costs.diffBits;
        const double apart = costs.literalBits * static_cast<double>(c.newPos - gapFrom) +
                             costs.headerByteBits * 3;
        if (together < apart) {
          a.length = c.newPos + c.length - a.newPos;
          continue;
        }
      }
    }
    joined.push_back(c);
  }
  return joined;
}

}  // namespace

uint64_t count_window_loads(const std::vector<Cover>& covers, size_t oldSize, size_t readStep) {
  ReadWindowModel window(oldSize);
  for (const Cover& c : covers) read_cover(window, c, readStep);
  return window.loads();
}

std::vector<Cover> fit_read_budget(const uint8_t* old, size_t oldSize, const uint8_t* neu,
                                   size_t newSize, std::vector<Cover> covers,
                                   const SuffixIndex* index, const CoverCosts& costs,
                                   const ReadBudget& budget) {
  const size_t step = std::max<size_t>(budget.readStep, 1);
  const uint64_t limit = std::max<uint64_t>(
      budget.minLoads,
      static_cast<uint64_t>(budget.loadsPerMiB * static_cast<double>(newSize) / 1048576.0));
  if (covers.empty() || count_window_loads(covers, oldSize, step) <= limit) return covers;
  if (index != nullptr) {
    move_to_held_copies(old, covers, oldSize, *index, step);
    if (count_window_loads(covers, oldSize, step) <= limit) return covers;
  }

  std::vector<double> worth(covers.size());
  for (size_t k = 0; k < covers.size(); ++k) worth[k] = cover_worth(old, neu, covers[k], costs);
  // The smallest threshold that meets the budget, found by doubling and halving; dropping a
  // cover can make a later one miss, so the loads are counted by replaying, never estimated.
  std::vector<char> keep;
  double low = 0, high = 64;
  int doublings = 0;
  while (replay_kept(covers, worth, oldSize, step, high, keep) > limit && doublings++ < kMaxDoublings)
    low = high, high *= 2;
  if (doublings > kMaxDoublings) high = INFINITY;  // drops every missing cover: no loads but runs
  for (int i = 0; i < kBisections && std::isfinite(high); ++i) {
    const double mid = (low + high) / 2;
    if (replay_kept(covers, worth, oldSize, step, mid, keep) > limit)
      low = mid;
    else
      high = mid;
  }
  replay_kept(covers, worth, oldSize, step, high, keep);

  std::vector<Cover> kept;
  std::vector<char> hadDropped;
  kept.reserve(covers.size());
  hadDropped.reserve(covers.size());
  bool dropped = false;
  for (size_t k = 0; k < covers.size(); ++k) {
    if (!keep[k]) {
      dropped = true;
      continue;
    }
    kept.push_back(covers[k]);
    hadDropped.push_back(dropped);
    dropped = false;
  }
  // Joined covers read the old bytes of their gaps too; they are given up when that breaks the
  // budget.
  std::vector<Cover> joined = join_over_gaps(old, neu, kept, hadDropped, costs);
  return count_window_loads(joined, oldSize, step) <= limit ? joined : kept;
}

}  // namespace hldiff
