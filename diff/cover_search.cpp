// Cover search, priced in coded bits.
//
// A cover costs its header (length, tag with the old-position step, literal length); each of
// its difference bytes costs little when zero, little when it repeats a recent non-zero one of
// the same alignment (addresses shifted by one amount), and more than a literal otherwise;
// every byte outside the covers costs a literal. The prices come from CoverCosts. Two passes:
//
// 1. Runs. Walking NEW, bytes that agree under the alignment of the run being grown lengthen
//    it. At a byte that disagrees, and at the few bytes after it, the suffix index gives the
//    longest exact match. A match on the run's own alignment lengthens the run. A match
//    elsewhere is passed over when it and what its alignment covers just behind it save less
//    than its header (and the header back, when the jump is far); otherwise it opens a new run
//    when the run's own difference bytes over the match would cost more than those headers.
// 2. Borders. Between two neighbouring runs, the first is carried forward and the second back
//    over the gap as far as their difference bytes are cheaper than literals; where the two
//    meet, the split with the cheapest difference bytes wins. A short excursion between two
//    stretches of one alignment is folded back into it when that is cheaper, and a run that
//    does not pay for its header once its borders are set is dropped to literals.
//
// A large NEW is cut into equal pieces searched on threads of their own; a run that crosses a
// cut becomes two covers, which costs one header per cut.
#include "diff/cover_search.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <thread>

#include "diff/packed_number.h"

namespace hldiff {
namespace {

// Longest stretch compared per lookup; longer matches are found again piece by piece.
constexpr size_t kMaxCompare = size_t(1) << 16;
constexpr size_t kProgressStep = size_t(1) << 20;
// Pieces of NEW searched apart are at least this long: below it a thread costs more than it saves.
constexpr size_t kMinPiece = size_t(1) << 20;
// Bytes looked at behind a match to tell whether the alignment it interrupts resumes there.
constexpr int64_t kResumeProbe = 16;
// How far back a non-zero difference byte is looked for among its alignment's earlier ones.
constexpr int64_t kRepeatReach = 24;
// Agreeing bytes after a disagreeing one at which the index is asked for other alignments.
constexpr int64_t kProbeReach = 4;
// Bytes behind an exact match over which its alignment's worth is counted.
constexpr int64_t kLookAhead = 32;

struct Run {
  int64_t newStart;
  int64_t newEnd;  // one past the last byte known to agree
  int64_t delta;   // oldPos - newPos
};

class Search {
 public:
  Search(const uint8_t* old, size_t oldSize, const uint8_t* neu, size_t newSize,
         const CoverCosts& costs)
      : old_(old),
        oldSize_(static_cast<int64_t>(oldSize)),
        neu_(neu),
        newSize_(static_cast<int64_t>(newSize)),
        c_(costs) {}

  bool inside(int64_t newPos, int64_t delta) const {
    int64_t o = newPos + delta;
    return o >= 0 && o < oldSize_;
  }
  bool agrees(int64_t newPos, int64_t delta) const {
    return inside(newPos, delta) && old_[newPos + delta] == neu_[newPos];
  }
  // Bits of the difference byte of new[i] under delta, which must lie inside OLD. A non-zero
  // difference that repeats the one a word or a pointer before it (addresses shifted by one
  // amount) is what a coder with matches codes cheaply.
  double byte_bits(int64_t i, int64_t delta) const {
    const uint8_t d = static_cast<uint8_t>(neu_[i] - old_[i + delta]);
    if (d == 0) return c_.zeroDiffBits;
    for (int64_t back = 1; back <= kRepeatReach && i >= back && inside(i - back, delta); ++back)
      if (static_cast<uint8_t>(neu_[i - back] - old_[i - back + delta]) == d)
        return c_.repeatDiffBits;
    return c_.diffBits;
  }
  // Bits of the difference bytes of new[from, to) under delta; bytes outside OLD cannot be
  // covered and cost as much as a whole new cover would save.
  double diff_bits(int64_t from, int64_t to, int64_t delta) const {
    double bits = 0;
    for (int64_t i = from; i < to; ++i) {
      if (!inside(i, delta)) return 1e30;
      bits += byte_bits(i, delta);
    }
    return bits;
  }
  double header_bits(int64_t step, int64_t length, int64_t literal) const {
    return c_.headerByteBits *
           static_cast<double>(packed_bytes(length) + tag_bytes(step) + packed_bytes(literal));
  }
  static int packed_bytes(int64_t v) { return packed_size(static_cast<uint64_t>(v)); }
  static int tag_bytes(int64_t step) {
    return 1 + cover_tag_extra_bytes(static_cast<uint64_t>(step < 0 ? -step : step));
  }

  // What a cover on delta saves against literals over the bytes from newPos on, where its
  // alignment goes on with scattered differences: the best of the first kLookAhead bytes.
  double gain_behind(int64_t newPos, int64_t delta) const {
    double acc = 0, best = 0;
    const int64_t end = std::min(newSize_, newPos + kLookAhead);
    for (int64_t x = newPos; x < end && inside(x, delta); ++x) {
      acc += c_.literalBits - byte_bits(x, delta);
      best = std::max(best, acc);
    }
    return best;
  }
  std::vector<Run> find_runs(const SuffixIndex& index, const ProgressFn& progress) const;
  // Pass 2: the runs' borders in the gaps, the excursions folded back, the covers that pay.
  std::vector<Cover> place_borders(std::vector<Run> runs) const;

 private:
  // Each gap between neighbouring runs shared out between them.
  void share_out_gaps(std::vector<Run>& runs) const;
  int64_t best_end_forward(int64_t from, int64_t to, int64_t delta) const;
  int64_t best_start_back(int64_t from, int64_t to, int64_t delta) const;
  int64_t cheapest_split(int64_t lo, int64_t hi, int64_t da, int64_t db) const;
  // Runs emptied by their neighbours dropped; a short excursion between two stretches of one
  // alignment folded back into it where that alignment's difference bytes over the excursion
  // (and the literals beside it) cost less than the excursion's own cover plus the header that
  // returns, and neighbours on one alignment joined where the bytes between cost no more.
  std::vector<Run> fold_excursions(const std::vector<Run>& runs) const;
  // The runs as covers, those that do not pay for their header dropped to literals.
  std::vector<Cover> covers_that_pay(const std::vector<Run>& runs) const;

  const uint8_t* old_;
  int64_t oldSize_;
  const uint8_t* neu_;
  int64_t newSize_;
  CoverCosts c_;
};

std::vector<Run> Search::find_runs(const SuffixIndex& index, const ProgressFn& progress) const {
  std::vector<Run> runs;
  size_t nextReport = kProgressStep;
  // The shortest exact match worth a header: its bytes must save more as zero differences
  // than the cover that carries them costs.
  const double saved = std::max(c_.literalBits - c_.zeroDiffBits, 0.01);
  int64_t i = 0;
  // Right after a disagreeing byte the index is asked at a few agreeing bytes too: a better
  // alignment's matches start there as often as at the disagreeing byte itself.
  int64_t probeUntil = 0;
  bool passed = false;  // the index was asked at i and the run goes on over it
  while (i < newSize_) {
    if (progress && static_cast<size_t>(i) >= nextReport) {
      progress(static_cast<size_t>(i), static_cast<size_t>(newSize_));
      nextReport = static_cast<size_t>(i) + kProgressStep;
    }
    Run* cur = runs.empty() ? nullptr : &runs.back();
    if (cur && agrees(i, cur->delta) && (passed || i >= probeUntil)) {
      passed = false;
      const int64_t from = i;
      ++i;
      while (i < newSize_ && i >= probeUntil && agrees(i, cur->delta)) ++i;
      const int64_t gap = from - cur->newEnd;
      // Bridging the disagreeing bytes since the run's end keeps one cover; past a stretch
      // that is cheaper as literals, a fresh cover on the same alignment takes over.
      if (gap > 0 &&
          diff_bits(cur->newEnd, from, cur->delta) >
              c_.literalBits * static_cast<double>(gap) + header_bits(gap, i - from, gap))
        runs.push_back(Run{from, i, cur->delta});
      else
        cur->newEnd = i;
      continue;
    }
    passed = false;
    const bool onRun = cur && agrees(i, cur->delta);
    if (cur && !onRun) probeUntil = i + 1 + kProbeReach;
    // Leaves i to the run when it agrees there, else to the literals.
    auto pass = [&] {
      if (onRun)
        passed = true;
      else
        ++i;
    };
    Match m = index.longest_match(neu_ + i, static_cast<size_t>(newSize_ - i), kMaxCompare);
    const int64_t len = static_cast<int64_t>(m.length);
    const int64_t delta = static_cast<int64_t>(m.oldPos) - i;
    if (len == 0) {
      pass();
      continue;
    }
    if (cur && delta == cur->delta) {
      cur->newEnd = std::max(cur->newEnd, i + len);
      i += len;
      continue;
    }
    const int64_t stepFromCur = cur ? (cur->newEnd + cur->delta) - (i + delta) : i + delta;
    // A jump away from the run's alignment is usually followed by a jump back, as long.
    const double open = header_bits(stepFromCur, len, i - (cur ? cur->newEnd : 0)) +
                        (cur ? c_.headerByteBits * (tag_bytes(stepFromCur) - 1) : 0.0);
    if (static_cast<double>(len) * saved + gain_behind(i + len, delta) <=
        open) {  // too short to pay
      pass();
      continue;
    }
    if (cur) {
      double stay = diff_bits(i, i + len, cur->delta);
      double leave = open;
      int64_t probeEnd = std::min(newSize_, i + len + kResumeProbe);
      int64_t resumes = 0;
      for (int64_t k = i + len; k < probeEnd; ++k) resumes += agrees(k, cur->delta) ? 1 : 0;
      if (resumes * 2 > probeEnd - (i + len)) leave += header_bits(0, len, 0);
      if (stay <= leave) {  // the run's alignment holds up well enough over this match
        pass();
        continue;
      }
    }
    runs.push_back(Run{i, i + len, delta});
    i += len;
  }
  return runs;
}

// The end of a run on delta carried forward over [from, to): after the prefix whose difference
// bytes undercut literals the most, from itself when none does.
int64_t Search::best_end_forward(int64_t from, int64_t to, int64_t delta) const {
  double acc = 0, best = 0;
  int64_t endAt = from;
  for (int64_t x = from; x < to && inside(x, delta); ++x) {
    acc += byte_bits(x, delta) - c_.literalBits;
    if (acc < best) {
      best = acc;
      endAt = x + 1;
    }
  }
  return endAt;
}

// The start of a run on delta carried back over [from, to): the mirror of best_end_forward.
int64_t Search::best_start_back(int64_t from, int64_t to, int64_t delta) const {
  double acc = 0, best = 0;
  int64_t startAt = to;
  for (int64_t x = to - 1; x >= from && inside(x, delta); --x) {
    acc += byte_bits(x, delta) - c_.literalBits;
    if (acc < best) {
      best = acc;
      startAt = x;
    }
  }
  return startAt;
}

// Where [lo, hi), which runs on da (before) and db (after) can both reach, is split between
// them so that the two sets of difference bytes cost least.
int64_t Search::cheapest_split(int64_t lo, int64_t hi, int64_t da, int64_t db) const {
  double acc = 0, best = 0;
  int64_t split = lo;
  for (int64_t x = lo; x < hi; ++x) {
    acc += byte_bits(x, da) - byte_bits(x, db);
    if (acc < best) {
      best = acc;
      split = x + 1;
    }
  }
  return split;
}

void Search::share_out_gaps(std::vector<Run>& runs) const {
  for (size_t k = 0; k <= runs.size(); ++k) {
    // The gap between run k - 1 (a) and run k (b), either of which may be missing.
    const int64_t gapFrom = k == 0 ? 0 : runs[k - 1].newEnd;
    const int64_t gapTo = k == runs.size() ? newSize_ : runs[k].newStart;
    if (gapTo <= gapFrom) continue;
    const bool hasA = k > 0, hasB = k < runs.size();
    int64_t endA = hasA ? best_end_forward(gapFrom, gapTo, runs[k - 1].delta) : gapFrom;
    int64_t startB = hasB ? best_start_back(gapFrom, gapTo, runs[k].delta) : gapTo;
    // Both would take the whole gap: they meet where it is cheapest.
    if (endA > startB)
      endA = startB = cheapest_split(startB, endA, runs[k - 1].delta, runs[k].delta);
    if (hasA) runs[k - 1].newEnd = endA;
    if (hasB) runs[k].newStart = startB;
  }
}

std::vector<Run> Search::fold_excursions(const std::vector<Run>& runs) const {
  const double lit = c_.literalBits;
  std::vector<Run> kept;
  kept.reserve(runs.size());
  for (const Run& r : runs)
    if (r.newEnd > r.newStart) kept.push_back(r);
  std::vector<Run> merged;
  merged.reserve(kept.size());
  for (size_t k = 0; k < kept.size(); ++k) {
    if (!merged.empty() && k + 1 < kept.size() && merged.back().delta == kept[k + 1].delta &&
        kept[k].delta != kept[k + 1].delta) {
      const Run& a = merged.back();
      const Run& b = kept[k];
      const Run& c = kept[k + 1];
      const int64_t step = (b.newStart + b.delta) - (a.newEnd + a.delta);
      const double apart =
          lit * static_cast<double>((b.newStart - a.newEnd) + (c.newStart - b.newEnd)) +
          header_bits(step, b.newEnd - b.newStart, b.newStart - a.newEnd) +
          diff_bits(b.newStart, b.newEnd, b.delta) +
          header_bits(step, c.newEnd - c.newStart, c.newStart - b.newEnd);
      const double together = diff_bits(a.newEnd, c.newStart, a.delta);
      if (together < apart) {
        merged.back().newEnd = c.newEnd;
        ++k;
        continue;
      }
    }
    if (!merged.empty() && merged.back().delta == kept[k].delta &&
        diff_bits(merged.back().newEnd, kept[k].newStart, kept[k].delta) <=
            lit * static_cast<double>(kept[k].newStart - merged.back().newEnd) +
                header_bits(0, kept[k].newEnd - kept[k].newStart,
                            kept[k].newStart - merged.back().newEnd)) {
      merged.back().newEnd = kept[k].newEnd;
      continue;
    }
    merged.push_back(kept[k]);
  }
  return merged;
}

std::vector<Cover> Search::covers_that_pay(const std::vector<Run>& runs) const {
  std::vector<Cover> covers;
  covers.reserve(runs.size());
  int64_t runningOld = 0, runningNew = 0;
  for (const Run& r : runs) {
    const int64_t len = r.newEnd - r.newStart;
    if (len <= 0) continue;
    const int64_t oldPos = r.newStart + r.delta;
    const double asCover = header_bits(oldPos - runningOld, len, r.newStart - runningNew) +
                           c_.headerByteBits * (tag_bytes(oldPos - runningOld) - 1) +
                           diff_bits(r.newStart, r.newEnd, r.delta);
    if (asCover >= c_.literalBits * static_cast<double>(len)) continue;  // cheaper as literals
    covers.push_back(Cover{static_cast<size_t>(oldPos), static_cast<size_t>(r.newStart),
                           static_cast<size_t>(len)});
    runningOld = oldPos + len;
    runningNew = r.newEnd;
  }
  return covers;
}

std::vector<Cover> Search::place_borders(std::vector<Run> runs) const {
  share_out_gaps(runs);
  return covers_that_pay(fold_excursions(runs));
}

}  // namespace

std::vector<Cover> find_covers(const uint8_t* oldData, size_t oldSize, const uint8_t* newData,
                               size_t newSize, const SuffixIndex& index, const CoverCosts& costs,
                               const ProgressFn& progress, unsigned pieces) {
  if (oldSize == 0 || newSize == 0) return {};
  const size_t count = std::clamp<size_t>(pieces, 1, std::max<size_t>(newSize / kMinPiece, 1));
  if (count == 1) {
    Search search(oldData, oldSize, newData, newSize, costs);
    std::vector<Cover> covers = search.place_borders(search.find_runs(index, progress));
    if (progress) progress(newSize, newSize);
    return covers;
  }
  std::vector<std::vector<Cover>> parts(count);
  std::vector<std::atomic<size_t>> done(count);
  std::vector<std::exception_ptr> errors(count);
  auto search_piece = [&](size_t k) {
    try {
      const size_t from = newSize / count * k;
      const size_t to = k + 1 == count ? newSize : newSize / count * (k + 1);
      // Only the calling thread reports, with what all pieces have done so far.
      ProgressFn piece = [&, k](size_t d, size_t) {
        done[k] = d;
        if (k != 0 || !progress) return;
        size_t sum = 0;
        for (const auto& x : done) sum += x;
        progress(sum, newSize);
      };
      Search search(oldData, oldSize, newData + from, to - from, costs);
      parts[k] = search.place_borders(search.find_runs(index, piece));
      for (Cover& c : parts[k]) c.newPos += from;
    } catch (...) {
      errors[k] = std::current_exception();
    }
  };
  std::vector<std::thread> pool;
  for (size_t k = 1; k < count; ++k) pool.emplace_back(search_piece, k);
  search_piece(0);
  for (auto& t : pool) t.join();
  for (auto& e : errors)
    if (e) std::rethrow_exception(e);
  std::vector<Cover> covers;
  for (auto& p : parts) {
    covers.insert(covers.end(), p.begin(), p.end());
    p = std::vector<Cover>();  // {} would keep the memory
  }
  if (progress) progress(newSize, newSize);
  return covers;
}

}  // namespace hldiff
