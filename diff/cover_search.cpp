#include "diff/cover_search.h"

#include <cstdint>

namespace hldiff {
namespace {

// A new match must beat the current alignment by this many agreeing bytes to start a cover.
constexpr int64_t kMinGain = 8;
// Longest stretch compared per lookup; longer matches are found again piece by piece.
constexpr size_t kMaxCompare = size_t(1) << 16;
constexpr size_t kProgressStep = size_t(1) << 20;

struct Bytes {
  const uint8_t* data;
  int64_t size;
  bool has(int64_t i) const { return i >= 0 && i < size; }
};

// Length of the extension forward from (oldAt, newAt), at most limit bytes, that maximises
// agreeing bytes minus differing bytes.
int64_t extend_forward(const Bytes& old, const Bytes& neu, int64_t oldAt, int64_t newAt,
                       int64_t limit) {
  int64_t agree = 0, bestScore = 0, bestLen = 0;
  for (int64_t i = 0; i < limit && oldAt + i < old.size; ) {
    if (old.data[oldAt + i] == neu.data[newAt + i]) ++agree;
    ++i;
    if (agree * 2 - i > bestScore) {
      bestScore = agree * 2 - i;
      bestLen = i;
    }
  }
  return bestLen;
}

// The same backward from just before (oldAt, newAt).
int64_t extend_backward(const Bytes& old, const Bytes& neu, int64_t oldAt, int64_t newAt,
                        int64_t limit) {
  int64_t agree = 0, bestScore = 0, bestLen = 0;
  for (int64_t i = 1; i <= limit && i <= oldAt; ++i) {
    if (old.data[oldAt - i] == neu.data[newAt - i]) ++agree;
    if (agree * 2 - i > bestScore) {
      bestScore = agree * 2 - i;
      bestLen = i;
    }
  }
  return bestLen;
}

}  // namespace

std::vector<Cover> find_covers(const uint8_t* oldData, size_t oldSize, const uint8_t* newData,
                               size_t newSize, const SuffixIndex& index,
                               const ProgressFn& progress) {
  std::vector<Cover> covers;
  if (oldSize == 0 || newSize == 0) return covers;
  const Bytes old{oldData, static_cast<int64_t>(oldSize)};
  const Bytes neu{newData, static_cast<int64_t>(newSize)};

  // The current alignment is oldPos - newPos of the last cover; bytes that agree under it
  // are the score a fresh match has to beat.
  int64_t scan = 0, len = 0, pos = 0;
  int64_t lastScan = 0, lastPos = 0, lastOffset = 0;
  size_t nextReport = kProgressStep;
  while (scan < neu.size) {
    int64_t oldScore = 0;
    scan += len;
    int64_t scored = scan;
    for (; scan < neu.size; ++scan) {
      if (progress && static_cast<size_t>(scan) >= nextReport) {
        progress(static_cast<size_t>(scan), newSize);
        nextReport = static_cast<size_t>(scan) + kProgressStep;
      }
      Match m = index.longest_match(newData + scan, newSize - scan, kMaxCompare);
      len = static_cast<int64_t>(m.length);
      pos = static_cast<int64_t>(m.oldPos);
      for (; scored < scan + len; ++scored)
        if (old.has(scored + lastOffset) && old.data[scored + lastOffset] == neu.data[scored])
          ++oldScore;
      if ((len == oldScore && len != 0) || len > oldScore + kMinGain) break;
      if (old.has(scan + lastOffset) && old.data[scan + lastOffset] == neu.data[scan])
        --oldScore;
    }
    if (len == oldScore && scan != neu.size) continue;  // the current alignment goes on

    int64_t lenF = extend_forward(old, neu, lastPos, lastScan, scan - lastScan);
    int64_t lenB = 0;
    if (scan < neu.size) lenB = extend_backward(old, neu, pos, scan, scan - lastScan);

    // Where the two extensions overlap, split at the point that keeps most agreeing bytes.
    if (lastScan + lenF > scan - lenB) {
      int64_t overlap = (lastScan + lenF) - (scan - lenB);
      int64_t score = 0, bestScore = 0, bestSplit = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        if (neu.data[lastScan + lenF - overlap + i] == old.data[lastPos + lenF - overlap + i])
          ++score;
        if (neu.data[scan - lenB + i] == old.data[pos - lenB + i]) --score;
        if (score > bestScore) {
          bestScore = score;
          bestSplit = i + 1;
        }
      }
      lenF += bestSplit - overlap;
      lenB -= bestSplit;
    }
    if (lenF > 0)
      covers.push_back(Cover{static_cast<size_t>(lastPos), static_cast<size_t>(lastScan),
                             static_cast<size_t>(lenF)});
    lastScan = scan - lenB;
    lastPos = pos - lenB;
    lastOffset = pos - scan;
  }
  if (progress) progress(newSize, newSize);
  return covers;
}

}  // namespace hldiff
