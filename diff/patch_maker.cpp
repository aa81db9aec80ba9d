#include "diff/patch_maker.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>

#include "diff/body_writer.h"
#include "diff/cover_search.h"
#include "diff/layout_choice.h"
#include "diff/patch_header.h"
#include "diff/read_budget.h"
#include "diff/suffix_index.h"

namespace hldiff {
namespace {

// The applier's body refill sizes with its fixed cache, for a raw and for a compressed body.
const size_t kRawReadBlock = hpatchi_body_refill_size(HPATCHI_CACHE_SIZE, false);
const size_t kDecodedReadBlock = hpatchi_body_refill_size(HPATCHI_CACHE_SIZE, true);
// A large NEW is searched in two pieces at once, for the machines with two cores or more; the
// patch is the same on every machine. Smaller files keep one search and the header it saves.
constexpr size_t kTwoPieceSearchFrom = size_t(32) << 20;
// OLD up to this size is sorted twice rather than have its index live beside the layout
// trial's coders; sorting it takes a fraction of the time the trial takes.
constexpr size_t kResortUpTo = size_t(4) << 20;
// The read budget under a coder, lower than the default to leave room for the cut covers.
constexpr double kCodedLoadsPerMiB = 56.0;
// The LZMA dictionary the layout trial codes its candidates with unless one is asked for. The
// candidates differ in how covers and plain copies are laid out, which shows over short
// distances; a whole small NEW coded with the body's dictionary made the trial's coder the
// peak of the creation (measured on a 554 KiB pair: 9.4 MiB with 512 KiB of dictionary, under
// 6 MiB with this one).
constexpr uint64_t kTrialLzmaDict = uint64_t(64) << 10;

bool is_large(size_t newSize) { return newSize >= kTwoPieceSearchFrom; }
bool is_lzma(Compression c) { return c == Compression::Lzma || c == Compression::Lzma2; }

// On a large NEW the windows are a small part of it and can rank the price sets against their
// whole coding (a 69 MB library: the set that codes 1.2 % smaller whole came last on them), so
// the close ones are coded whole too, one of them then being the final search; sets with the
// same covers on the windows are coded once, and so are the close splits (a 120 MB tar: the
// windows' split coded 0.5 % larger whole). The smallest whole coding is kept for the final
// body.
bool codes_large_whole(Compression c, size_t newSize) {
  return is_large(newSize) && !is_lzma(c) && c != Compression::None;
}

LayoutTrial layout_trial_for(const EncodeOptions& encode, size_t newSize, size_t readBlock) {
  const Compression c = encode.compression;
  const bool large = is_large(newSize);
  LayoutTrial trial;
  trial.encode = encode;
  if (is_lzma(c) && trial.encode.dictSize == 0) trial.encode.dictSize = kTrialLzmaDict;
  // tuz's dictionary is fitted to the final body alone; the trial compares layouts with one.
  if (c == Compression::Tuz && trial.encode.dictSize == 0) trial.encode.dictSize = kDefaultDictCap;
  trial.threads = large ? 2 : 1;
  trial.searchPieces = large ? 2 : 1;
  if (codes_large_whole(c, newSize)) {
    trial.wholeDistinctOnly = true;
    trial.keepWholeCoding = true;
    trial.readBlock = readBlock;
  }
  return trial;
}

Layout run_layout_trial(LayoutChoice& choice, std::optional<SuffixIndex>& index, const uint8_t* old,
                        size_t oldSize, Compression c, size_t newSize) {
  if (codes_large_whole(c, newSize) ||
      (!is_lzma(c) && !is_large(newSize) && oldSize > kResortUpTo)) {
    // The coders other than LZMA are small and quick enough to code close candidates whole,
    // below the size where every pass over NEW counts.
    return choice.choose(&*index);
  }
  // The candidates' coders need more memory than a small OLD's index: it is sorted again once
  // they are done rather than kept beside them. A small OLD's windows cover much of NEW, and
  // LZMA candidates coded whole would cost too much time.
  const bool resort = oldSize <= kResortUpTo;
  if (resort) index.reset();
  Layout layout = choice.choose();
  if (resort) index.emplace(old, oldSize);
  return layout;
}

// The covers cut to the applier's old-file reads; the trial's coded body is dropped when that
// changed them.
void fit_covers_to_reads(const uint8_t* old, size_t oldSize, const uint8_t* neu, size_t newSize,
                         const SuffixIndex& index, const Layout& layout,
                         const BodyOptions& bodyOptions, Compression c,
                         const std::function<void(uint64_t)>& readPlan, std::vector<Cover>& covers,
                         std::optional<CodedBody>& coded) {
  ReadBudget budget;
  budget.readStep = bodyOptions.readBlock;
  budget.plainRunMin = bodyOptions.plainRunMin;
  // A decoded body is refilled in the middle of covers, and a cover cut there can cost a
  // second load; a 297 MB browser update loaded 1.4 times what its covers replay to.
  if (c != Compression::None) budget.loadsPerMiB = kCodedLoadsPerMiB;
  const std::vector<Cover> searched = coded ? covers : std::vector<Cover>();
  covers =
      fit_read_budget(old, oldSize, neu, newSize, std::move(covers), &index, layout.costs, budget);
  if (readPlan) readPlan(count_window_loads(old, neu, oldSize, covers, budget));
  const auto same = [](const Cover& a, const Cover& b) {
    return a.oldPos == b.oldPos && a.newPos == b.newPos && a.length == b.length;
  };
  if (coded && !std::equal(covers.begin(), covers.end(), searched.begin(), searched.end(), same))
    coded.reset();
}

// The covers of NEW and, while they stay those it coded, the final body as the layout trial
// coded it; sets bodyOptions.plainRunMin. OLD's index lives only as long as this.
std::vector<Cover> search_covers(const uint8_t* old, size_t oldSize, const uint8_t* neu,
                                 size_t newSize, const MakeOptions& options,
                                 BodyOptions& bodyOptions, std::optional<CodedBody>& coded) {
  auto step = [&](const char* name) {
    if (options.stage) options.stage(name);
  };
  const Compression c = options.encode.compression;
  step("sorting OLD");
  std::optional<SuffixIndex> index(std::in_place, old, oldSize);
  step("matching");
  const LayoutTrial trial = layout_trial_for(options.encode, newSize, bodyOptions.readBlock);
  LayoutChoice choice(old, oldSize, neu, newSize, *index, trial);
  const Layout layout = run_layout_trial(choice, index, old, oldSize, c, newSize);
  bodyOptions.plainRunMin = layout.plainRunMin;
  coded = choice.take_coded(layout);
  std::vector<Cover> covers;
  if (std::optional<std::vector<Cover>> searched = choice.take_covers(layout)) {
    covers = std::move(*searched);
    if (options.progress) options.progress(newSize, newSize);
  } else {
    covers = find_covers(old, oldSize, neu, newSize, *index, layout.costs, options.progress,
                         trial.searchPieces);
  }
  step("planning old-file reads");
  fit_covers_to_reads(old, oldSize, neu, newSize, *index, layout, bodyOptions, c, options.readPlan,
                      covers, coded);
  return covers;
}

// The header and the body, compressed unless the layout trial already did.
std::vector<uint8_t> compress_with_header(std::vector<uint8_t> body, std::optional<CodedBody> coded,
                                          size_t newSize, const MakeOptions& options) {
  const size_t plainSize = coded ? coded->bodySize : body.size();
  if (plainSize > kMaxFileSize)
    throw std::length_error("patch body is larger than 4 GiB - 1 bytes");
  const uint32_t bodySize = static_cast<uint32_t>(plainSize);
  if (options.stage) options.stage("compressing");
  EncodedBody encoded = coded ? std::move(coded->encoded) : encode_body(body, options.encode);
  body = std::vector<uint8_t>();
  const uint32_t uncompressSize = encoded.type == CompressType::None ? 0 : bodySize;
  std::vector<uint8_t> patch =
      write_patch_header(encoded.type, static_cast<uint32_t>(newSize), uncompressSize);
  patch.insert(patch.end(), encoded.payload.begin(), encoded.payload.end());
  return patch;
}

}  // namespace

std::vector<uint8_t> make_patch(const uint8_t* old, size_t oldSize, const uint8_t* neu,
                                size_t newSize, const MakeOptions& options) {
  if (oldSize > kMaxFileSize) throw std::length_error("old file is larger than 4 GiB - 1 bytes");
  if (newSize > kMaxFileSize) throw std::length_error("new file is larger than 4 GiB - 1 bytes");

  const Compression c = options.encode.compression;
  BodyOptions bodyOptions;
  bodyOptions.readBlock = c == Compression::None ? kRawReadBlock : kDecodedReadBlock;
  std::optional<CodedBody> coded;
  std::vector<Cover> covers =
      search_covers(old, oldSize, neu, newSize, options, bodyOptions, coded);
  // Zero padding costs a raw body its full size but a compressed one next to nothing.
  bodyOptions.padCallLimit = c == Compression::None ? 65536 : 64;
  std::vector<uint8_t> body;
  if (!coded) body = write_body(old, oldSize, neu, newSize, covers, bodyOptions);
  // A new vector, since assigning {} would only clear it and keep its memory.
  covers = std::vector<Cover>();
  if (options.inputsDone) options.inputsDone();
  return compress_with_header(std::move(body), std::move(coded), newSize, options);
}

}  // namespace hldiff
