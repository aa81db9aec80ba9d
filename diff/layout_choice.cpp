#include "diff/layout_choice.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

#include "diff/body_writer.h"

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
    case Compression::None: return {8, 12, 16};
    case Compression::Lzma:
    case Compression::Lzma2: return {0, 1024, 4096, 16384};
    default: return {256, 1024, 4096};
  }
}

// The covers of one window with positions in NEW taken from the window's start.
std::vector<Cover> window_covers(const uint8_t* old, size_t oldSize, const uint8_t* neu,
                                 std::pair<size_t, size_t> w, const SuffixIndex& index,
                                 const CoverCosts& costs) {
  return find_covers(old, oldSize, neu + w.first, w.second - w.first, index, costs);
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

// Coded size of each layout, summed over the windows; the windows' searches run on the given
// number of threads.
std::vector<uint64_t> coded_sizes(const uint8_t* old, size_t oldSize, const uint8_t* neu,
                                  const std::vector<std::pair<size_t, size_t>>& windows,
                                  const SuffixIndex& index, const std::vector<Layout>& layouts,
                                  const LayoutTrial& trial) {
  std::vector<std::atomic<uint64_t>> sizes(layouts.size());
  const size_t jobs = layouts.size() * windows.size();
  std::atomic<size_t> next{0};
  std::vector<std::exception_ptr> errors(jobs);
  auto work = [&] {
    for (size_t j; (j = next.fetch_add(1)) < jobs;) {
      try {
        const Layout& l = layouts[j / windows.size()];
        const auto w = windows[j % windows.size()];
        std::vector<Cover> covers = window_covers(old, oldSize, neu, w, index, l.costs);
        BodyOptions o;
        o.plainRunMin = l.plainRunMin;
        std::vector<uint8_t> body =
            write_body(old, oldSize, neu + w.first, w.second - w.first, covers, o);
        sizes[j / windows.size()] += trial.encode.compression == Compression::None
                                         ? body.size()
                                         : encode_body(body, trial.encode).payload.size();
      } catch (...) {
        errors[j] = std::current_exception();
      }
    }
  };
  const size_t threads = std::clamp<size_t>(trial.threads, 1, jobs);
  std::vector<std::thread> pool;
  for (size_t t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
  for (auto& e : errors)
    if (e) std::rethrow_exception(e);
  return std::vector<uint64_t>(sizes.begin(), sizes.end());
}

// The smallest of the candidates; ties go to the earlier one.
Layout smallest(const std::vector<Layout>& layouts, const std::vector<uint64_t>& sizes) {
  size_t best = 0;
  for (size_t k = 1; k < layouts.size(); ++k)
    if (sizes[k] < sizes[best]) best = k;
  return layouts[best];
}

}  // namespace

Layout choose_layout(const uint8_t* old, size_t oldSize, const uint8_t* neu, size_t newSize,
                     const SuffixIndex& index, const LayoutTrial& trial) {
  const auto windows = trial_windows(newSize, trial.windowSize, trial.windowCount);
  LayoutTrial fixed = trial;
  fixed.encode.lzmaLiteralContextBits = 3;  // chosen later, for the final body
  const std::vector<size_t> splits = split_candidates(trial.encode.compression);
  // The prices first, with the middle split; then the split, with the prices chosen. The two
  // hardly interact: the prices move cover borders, the split cuts inside covers.
  std::vector<Layout> layouts;
  const auto& costs = trial.encode.compression == Compression::None ? kRawCosts : kCoderCosts;
  for (const CoverCosts& c : costs) layouts.push_back(Layout{c, splits[splits.size() / 2]});
  Layout best = smallest(layouts, coded_sizes(old, oldSize, neu, windows, index, layouts, fixed));
  layouts.clear();
  for (size_t s : splits) layouts.push_back(Layout{best.costs, s});
  return smallest(layouts, coded_sizes(old, oldSize, neu, windows, index, layouts, fixed));
}

}  // namespace hldiff
