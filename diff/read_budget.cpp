#include "diff/read_budget.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>

#include "diff/packed_number.h"
#include "patch/hl_window.h"

namespace hldiff {
namespace {

// The applier's window over OLD, whose loads are only counted: the reads here want to know what
// the window would hold, never its bytes. Its memory comes zeroed from calloc, so that the pages
// of the bytes, which are never written, cost no memory.
class CountedWindow {
 public:
  explicit CountedWindow(uint64_t fileSize)
      : memory_(
            static_cast<hl_byte*>(std::calloc(std::max<size_t>(hl_window_size(fileSize), 8), 1))) {
    if (!memory_) throw std::bad_alloc();
    hl_window_start(&window_, fileSize, memory_.get(), hl_TRUE, &CountedWindow::count, nullptr);
  }
  CountedWindow(const CountedWindow&) = delete;
  CountedWindow& operator=(const CountedWindow&) = delete;

  // Returns the loads the read costs.
  unsigned read(uint64_t position, uint64_t size) {
    const uint64_t before = window_.loads;
    if (size == 0) return 0;
    if (scratch_.size() < size) scratch_.resize(static_cast<size_t>(size));
    hl_window_read(&window_, position, scratch_.data(), size);
    return static_cast<unsigned>(window_.loads - before);
  }
  bool holds(uint64_t position, uint64_t size) const {
    return hl_window_holds(&window_, position, size) != 0;
  }
  uint64_t loads() const { return window_.loads; }

 private:
  static hl_bool count(void*, uint64_t, hl_byte*, size_t) { return hl_TRUE; }

  struct Free {
    void operator()(hl_byte* p) const { std::free(p); }
  };
  std::unique_ptr<hl_byte, Free> memory_;
  hl_TWindow window_;
  // Where a read that spans blocks gathers its bytes, which nobody looks at.
  std::vector<hl_byte> scratch_;
};

// Equal copies of a missing cover's old bytes looked at, in suffix order; common short byte
// strings have thousands, and the first few hundred find a held one when any does.
constexpr size_t kMaxCandidates = 256;
// Longer covers are not moved: their bytes hardly occur twice, and they load anyway.
constexpr size_t kMaxMovedLength = 4096;
// Threshold search: doublings of the upper bound and halvings of the interval.
constexpr int kMaxDoublings = 40;
constexpr int kBisections = 12;

// The reads the applier makes for each cover: the body writer cuts a cover into pieces at its
// plain runs, and each piece is read in steps. Kept as offsets into the cover, so that a cover
// moved to an equal copy of its old bytes keeps its reads.
class CoverReads {
 public:
  CoverReads(const uint8_t* old, const uint8_t* neu, const std::vector<Cover>& covers,
             const ReadBudget& budget)
      : step_(std::max<size_t>(budget.readStep, 1)) {
    first_.reserve(covers.size() + 1);
    for (const Cover& c : covers) {
      first_.push_back(pieces_.size());
      add_pieces(old + c.oldPos, neu + c.newPos, c.length, budget.plainRunMin);
    }
    first_.push_back(pieces_.size());
  }

  unsigned read(CountedWindow& window, size_t k, const Cover& c) const {
    unsigned loads = 0;
    for (size_t p = first_[k]; p < first_[k + 1]; ++p) {
      const auto [offset, length] = pieces_[p];
      for (size_t done = 0; done < length; done += step_)
        loads += window.read(c.oldPos + offset + done, std::min(step_, length - done));
    }
    return loads;
  }

 private:
  // As the body writer cuts: an agreeing run of at least plainRunMin bytes is a piece of its
  // own, and the bytes between such runs are one piece.
  void add_pieces(const uint8_t* o, const uint8_t* n, size_t length, size_t plainRunMin) {
    size_t pieceStart = 0, i = 0;
    while (plainRunMin != 0 && i < length) {
      if (o[i] != n[i]) {
        ++i;
        continue;
      }
      const size_t runStart = i;
      while (i < length && o[i] == n[i]) ++i;
      if (i - runStart < plainRunMin) continue;
      if (runStart > pieceStart) pieces_.emplace_back(pieceStart, runStart - pieceStart);
      pieces_.emplace_back(runStart, i - runStart);
      pieceStart = i;
    }
    if (pieceStart < length) pieces_.emplace_back(pieceStart, length - pieceStart);
  }

  size_t step_;
  std::vector<size_t> first_;                      // each cover's first piece, and the end
  std::vector<std::pair<size_t, size_t>> pieces_;  // offset in the cover, length
};

// What a cover saves against literals, in the search's prices: its bytes as literals, less
// its difference bytes and its header (with a far step, since a missing cover jumped).
double cover_worth(const uint8_t* old, const uint8_t* neu, const Cover& c,
                   const CoverCosts& costs) {
  double bits = costs.literalBits * static_cast<double>(c.length);
  for (size_t i = 0; i < c.length; ++i)
    bits -= old[c.oldPos + i] == neu[c.newPos + i] ? costs.zeroDiffBits : costs.diffBits;
  bits -= costs.headerByteBits * (packed_size(c.length) + 4 + 1);
  return std::max(bits, 0.0);
}

// Moves each missing cover to a held equal copy of its old bytes, if it finds one; the
// window replays the covers as they end up.
void move_to_held_copies(const uint8_t* old, std::vector<Cover>& covers, const CoverReads& reads,
                         size_t oldSize, const SuffixIndex& index) {
  CountedWindow window(oldSize);
  uint64_t runningOld = 0;
  for (size_t k = 0; k < covers.size(); ++k) {
    Cover& c = covers[k];
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
    reads.read(window, k, c);
    runningOld = c.oldPos + c.length;
  }
}

// Keeps a missing cover when it is worth at least threshold bits per load, a held one always.
// Returns the loads of what is kept; keep says which.
uint64_t replay_kept(const std::vector<Cover>& covers, const CoverReads& reads,
                     const std::vector<double>& worth, size_t oldSize, double threshold,
                     std::vector<char>& keep) {
  CountedWindow window(oldSize);
  keep.assign(covers.size(), 1);
  for (size_t k = 0; k < covers.size(); ++k) {
    const Cover& c = covers[k];
    if (!window.holds(c.oldPos, c.length) && worth[k] < threshold) {
      keep[k] = 0;
      continue;
    }
    reads.read(window, k, c);
  }
  return window.loads();
}

// Between two kept covers of one alignment whose gap lost covers, one cover over the gap
// costs its difference bytes instead of literals and a header; taken when that is cheaper.
std::vector<Cover> join_over_gaps(const uint8_t* old, const uint8_t* neu,
                                  const std::vector<Cover>& kept,
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
          together +=
              old[i + (a.oldPos - a.newPos)] == neu[i] ? costs.zeroDiffBits : costs.diffBits;
        const double apart =
            costs.literalBits * static_cast<double>(c.newPos - gapFrom) + costs.headerByteBits * 3;
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

uint64_t count_window_loads(const uint8_t* old, const uint8_t* neu, size_t oldSize,
                            const std::vector<Cover>& covers, const ReadBudget& budget) {
  const CoverReads reads(old, neu, covers, budget);
  CountedWindow window(oldSize);
  for (size_t k = 0; k < covers.size(); ++k) reads.read(window, k, covers[k]);
  return window.loads();
}

std::vector<Cover> fit_read_budget(const uint8_t* old, size_t oldSize, const uint8_t* neu,
                                   size_t newSize, std::vector<Cover> covers,
                                   const SuffixIndex* index, const CoverCosts& costs,
                                   const ReadBudget& budget) {
  const uint64_t limit = std::max<uint64_t>(
      budget.minLoads,
      static_cast<uint64_t>(budget.loadsPerMiB * static_cast<double>(newSize) / 1048576.0));
  auto loads = [&](const std::vector<Cover>& list) {
    return count_window_loads(old, neu, oldSize, list, budget);
  };
  if (covers.empty() || loads(covers) <= limit) return covers;
  const CoverReads reads(old, neu, covers, budget);
  if (index != nullptr) {
    move_to_held_copies(old, covers, reads, oldSize, *index);
    if (loads(covers) <= limit) return covers;
  }

  std::vector<double> worth(covers.size());
  for (size_t k = 0; k < covers.size(); ++k) worth[k] = cover_worth(old, neu, covers[k], costs);
  // The smallest threshold that meets the budget, found by doubling and halving; dropping a
  // cover can make a later one miss, so the loads are counted by replaying, never estimated.
  std::vector<char> keep;
  double low = 0, high = 64;
  int doublings = 0;
  while (replay_kept(covers, reads, worth, oldSize, high, keep) > limit &&
         doublings++ < kMaxDoublings)
    low = high, high *= 2;
  if (doublings > kMaxDoublings) high = INFINITY;  // drops every missing cover: no loads but runs
  for (int i = 0; i < kBisections && std::isfinite(high); ++i) {
    const double mid = (low + high) / 2;
    if (replay_kept(covers, reads, worth, oldSize, mid, keep) > limit)
      low = mid;
    else
      high = mid;
  }
  replay_kept(covers, reads, worth, oldSize, high, keep);

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
  return loads(joined) <= limit ? joined : kept;
}

}  // namespace hldiff
