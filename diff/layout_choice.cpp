#include "diff/layout_choice.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "diff/body_writer.h"
#include "diff/parallel_jobs.h"

namespace hldiff {
namespace {

// Cover prices tried: { literal, zero difference, other difference, header byte, repeated
// difference } bits. Which one wins depends on how densely the pair changed and on how the
// coder treats lone and repeated non-zero difference bytes; the sets are the ones that won on
// program and library updates. A raw body pays a whole byte for a zero difference unless a
// plain copy takes it, and nothing is cheap there.
const std::vector<CoverCosts> kCoderCosts = {
    {6.0, 0.1, 16.0, 10.0, 0.1},
    {6.0, 0.25, 16.0, 10.0, 0.25},
    {6.0, 0.25, 12.0, 14.0, 1.0},
    {6.0, 0.25, 12.0, 10.0, 0.25},
};
const std::vector<CoverCosts> kRawCosts = {
    {8.0, 1.0, 12.0, 8.0, 8.0},
    {8.0, 2.0, 8.0, 8.0, 8.0},
    {6.0, 0.1, 16.0, 10.0, 0.1},
};

// Plain-copy split lengths tried per compressor (0 keeps covers whole). A raw body pays for
// every zero byte, a coder pays little for zeros but for every extra header.
std::vector<size_t> split_candidates(Compression c) {
  switch (c) {
    case Compression::None:
      return {8, 12, 16};
    case Compression::Lzma:
    case Compression::Lzma2:
      return {0, 1024, 4096, 16384};
    default:
      return {256, 1024, 4096};
  }
}

}  // namespace

std::vector<std::pair<size_t, size_t>> trial_windows(size_t newSize, size_t windowSize,
                                                     size_t windowCount) {
  std::vector<std::pair<size_t, size_t>> windows;
  if (windowCount == 0 || windowSize == 0 || newSize <= windowSize * windowCount) {
    windows.emplace_back(0, newSize);
    return windows;
  }
  // Evenly spread, the first at the start and the last at the end.
  const size_t span = newSize - windowSize;
  for (size_t k = 0; k < windowCount; ++k) {
    size_t at = windowCount == 1 ? 0 : span / (windowCount - 1) * k;
    windows.emplace_back(at, at + windowSize);
  }
  return windows;
}

namespace {

// Coded size of each layout, summed over the windows, where covers[c][w] are the covers of
// window w under price set c; the layouts are coded on the trial's number of threads.
std::vector<uint64_t> coded_sizes(const uint8_t* old, size_t oldSize, const uint8_t* neu,
                                  const std::vector<std::pair<size_t, size_t>>& windows,
                                  const std::vector<std::vector<std::vector<Cover>>>& covers,
                                  const std::vector<std::pair<size_t, size_t>>& layouts,
                                  const LayoutTrial& trial) {
  std::vector<std::atomic<uint64_t>> sizes(layouts.size());
  run_jobs(layouts.size() * windows.size(), trial.threads, [&](size_t j) {
    const auto [costs, split] = layouts[j / windows.size()];
    const size_t k = j % windows.size();
    const auto w = windows[k];
    BodyOptions o;
    o.plainRunMin = split;
    std::vector<uint8_t> body =
        write_body(old, oldSize, neu + w.first, w.second - w.first, covers[costs][k], o);
    sizes[j / windows.size()] += trial.encode.compression == Compression::None
                                     ? body.size()
                                     : encode_body(body, trial.encode).payload.size();
  });
  return std::vector<uint64_t>(sizes.begin(), sizes.end());
}

// The covers of a that b lacks plus those of b that a lacks; both ascending in NEW.
size_t differing_covers(const std::vector<Cover>& a, const std::vector<Cover>& b) {
  size_t i = 0, j = 0, same = 0;
  while (i < a.size() && j < b.size()) {
    if (a[i].newPos < b[j].newPos) {
      ++i;
    } else if (b[j].newPos < a[i].newPos) {
      ++j;
    } else {
      same += a[i].oldPos == b[j].oldPos && a[i].length == b[j].length ? 1 : 0;
      ++i, ++j;
    }
  }
  return a.size() + b.size() - 2 * same;
}

// The index of the smallest size; ties go to the earlier one.
size_t smallest(const std::vector<uint64_t>& sizes) {
  size_t best = 0;
  for (size_t k = 1; k < sizes.size(); ++k)
    if (sizes[k] < sizes[best]) best = k;
  return best;
}

}  // namespace

LayoutChoice::LayoutChoice(const uint8_t* old, size_t oldSize, const uint8_t* neu, size_t newSize,
                           const SuffixIndex& index, const LayoutTrial& trial)
    : old_(old),
      oldSize_(oldSize),
      neu_(neu),
      newSize_(newSize),
      trial_(trial),
      windows_(trial_windows(newSize, trial.windowSize, trial.windowCount)),
      costs_(trial.encode.compression == Compression::None ? kRawCosts : kCoderCosts),
      whole_(costs_.size()) {
  // The windows' searches share nothing but the index: they run on the trial's threads, each
  // writing its own slot, so the covers do not depend on which thread searched them.
  covers_.assign(costs_.size(), std::vector<std::vector<Cover>>(windows_.size()));
  run_jobs(costs_.size() * windows_.size(), trial.threads, [&](size_t j) {
    const size_t c = j / windows_.size(), k = j % windows_.size();
    const auto w = windows_[k];
    covers_[c][k] = find_covers(old, oldSize, neu + w.first, w.second - w.first, index, costs_[c]);
  });
}

std::vector<size_t> LayoutChoice::distinct_on_windows(
    const std::vector<size_t>& close, const std::vector<std::pair<size_t, size_t>>& layouts) const {
  std::vector<size_t> kept;
  for (size_t k : close) {
    bool same = false;
    for (size_t j : kept) {
      if (layouts[j].second != layouts[k].second) continue;
      size_t differing = 0;
      for (size_t w = 0; w < windows_.size(); ++w)
        differing += differing_covers(covers_[layouts[j].first][w], covers_[layouts[k].first][w]);
      same = same || differing == 0;
    }
    if (!same) kept.push_back(k);
  }
  return kept;
}

Layout LayoutChoice::choose(const SuffixIndex* index) {
  LayoutTrial fixed = trial_;
  fixed.encode.lzmaLiteralContextBits = 3;  // chosen later, for the final body
  const std::vector<size_t> splits = split_candidates(trial_.encode.compression);
  // The candidate among layouts that codes smallest: on the windows, then, when some come
  // close to the smallest there and the windows are not all of NEW, whole.
  auto pick = [&](const std::vector<std::pair<size_t, size_t>>& layouts) {
    const std::vector<uint64_t> sizes =
        coded_sizes(old_, oldSize_, neu_, windows_, covers_, layouts, fixed);
    size_t best = smallest(sizes);
    if (index == nullptr || windows_.size() < 2) return layouts[best];
    const double limit = static_cast<double>(sizes[best]) * (1.0 + trial_.closeFraction);
    std::vector<size_t> close;
    for (size_t k = 0; k < layouts.size(); ++k)
      if (static_cast<double>(sizes[k]) <= limit) close.push_back(k);
    if (trial_.wholeDistinctOnly) close = distinct_on_windows(close, layouts);
    if (close.size() < 2) return layouts[best];
    uint64_t bestWhole = UINT64_MAX;
    for (size_t k : close) {
      const auto [c, split] = layouts[k];
      if (!whole_[c])
        whole_[c] =
            find_covers(old_, oldSize_, neu_, newSize_, *index, costs_[c], {}, trial_.searchPieces);
      BodyOptions o;
      o.plainRunMin = split;
      if (trial_.keepWholeCoding) o.readBlock = trial_.readBlock;
      const std::vector<uint8_t> body = write_body(old_, oldSize_, neu_, newSize_, *whole_[c], o);
      const bool raw = trial_.encode.compression == Compression::None;
      EncodedBody encoded = raw ? EncodedBody{} : encode_body(body, fixed.encode);
      const uint64_t coded = raw ? body.size() : encoded.payload.size();
      if (coded < bestWhole) {
        bestWhole = coded;
        best = k;
        if (trial_.keepWholeCoding && !raw) {
          // A copy of its own length: the coder's output buffer can be as long as the body.
          encoded.payload = std::vector<uint8_t>(encoded.payload.begin(), encoded.payload.end());
          coded_ = CodedBody{body.size(), std::move(encoded)};
          codedLayout_ = layouts[k];
        }
      }
    }
    return layouts[best];
  };
  // The prices first, with the middle split; then the split, with the prices chosen. The two
  // hardly interact: the prices move cover borders, the split cuts inside covers.
  std::vector<std::pair<size_t, size_t>> layouts;
  for (size_t c = 0; c < costs_.size(); ++c) layouts.emplace_back(c, splits[splits.size() / 2]);
  const size_t costs = pick(layouts).first;
  layouts.clear();
  for (size_t s : splits) layouts.emplace_back(costs, s);
  const size_t split = pick(layouts).second;
  for (size_t c = 0; c < whole_.size(); ++c)
    if (c != costs) whole_[c].reset();
  return Layout{costs_[costs], split, costs};
}

std::optional<std::vector<Cover>> LayoutChoice::take_covers(const Layout& chosen) {
  std::optional<std::vector<Cover>> covers;
  if (chosen.costsIndex < whole_.size()) covers.swap(whole_[chosen.costsIndex]);
  return covers;
}

std::optional<CodedBody> LayoutChoice::take_coded(const Layout& chosen) {
  std::optional<CodedBody> coded;
  if (coded_ && codedLayout_ == std::make_pair(chosen.costsIndex, chosen.plainRunMin))
    coded.swap(coded_);
  coded_.reset();
  return coded;
}

Layout choose_layout(const uint8_t* old, size_t oldSize, const uint8_t* neu, size_t newSize,
                     const SuffixIndex& index, const LayoutTrial& trial) {
  return LayoutChoice(old, oldSize, neu, newSize, index, trial).choose();
}

}  // namespace hldiff
