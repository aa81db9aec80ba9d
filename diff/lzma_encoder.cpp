#include "diff/lzma_encoder.h"

#include <lzma.h>

#include <algorithm>
#include <iterator>
#include <thread>
#include <stdexcept>
#include <string>

#include "diff/parallel_jobs.h"

namespace hldiff {
namespace {

// Owns a liblzma stream for the length of one encoding.
struct LzmaStream {
  lzma_stream strm = LZMA_STREAM_INIT;
  ~LzmaStream() { lzma_end(&strm); }
};

lzma_options_lzma make_options(size_t size, const LzmaOptions& options) {
  lzma_options_lzma opt{};
  if (lzma_lzma_preset(&opt, static_cast<uint32_t>(std::clamp(options.level, 0, 9))))
    throw std::runtime_error("unsupported LZMA preset");
  if (options.bodyTuned) {
    // The longest matches and a deep search: sparse bodies (long runs of zero differences
    // broken by scattered bytes) offer many equally long candidates, and a shallow search
    // misses the one that goes on furthest (measured: 3 to 5 % smaller sparse bodies, under
    // 2 % on dense ones, for about a fifth more time).
    opt.nice_len = 273;
    opt.depth = 512;
    opt.mf = LZMA_MF_BT3;
  }
  opt.dict_size = lzma_dict_size_for(size, options);
  // Patch bodies have no 4-byte structure for the position bits to follow (measured: pb 0
  // gives smaller bodies than the default 2).
  opt.pb = 0;
  opt.lp = 0;
  if (options.literalContextBits >= 0)
    opt.lc = static_cast<uint32_t>(std::min(options.literalContextBits, 4));
  return opt;
}

// Appends the raw stream of data to out.
void encode_stream(lzma_vli filterId, lzma_options_lzma opt, const uint8_t* data, size_t size,
                   std::vector<uint8_t>& out) {
  lzma_filter filters[2] = {{filterId, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  LzmaStream s;
  lzma_ret rc = lzma_raw_encoder(&s.strm, filters);
  if (rc != LZMA_OK) throw std::runtime_error("LZMA encoder set-up failed: " + std::to_string(rc));
  size_t produced = out.size();
  // Patch bodies shrink to a small part of their size; the output grows when they do not.
  out.resize(produced + size / 16 + (size_t(1) << 16));
  s.strm.next_in = data;
  s.strm.avail_in = size;
  for (;;) {
    if (out.size() - produced < (size_t(1) << 16)) out.resize(out.size() + out.size() / 2);
    s.strm.next_out = out.data() + produced;
    s.strm.avail_out = out.size() - produced;
    rc = lzma_code(&s.strm, LZMA_FINISH);
    produced = out.size() - s.strm.avail_out;
    if (rc == LZMA_STREAM_END) break;
    if (rc != LZMA_OK) throw std::runtime_error("LZMA encoding failed: " + std::to_string(rc));
  }
  out.resize(produced);
}

std::vector<uint8_t> props_of(lzma_vli filterId, lzma_options_lzma opt, size_t propsBytes) {
  lzma_filter filter{filterId, &opt};
  uint8_t props[8] = {};
  if (lzma_properties_encode(&filter, props) != LZMA_OK)
    throw std::runtime_error("LZMA properties cannot be encoded");
  return std::vector<uint8_t>(props, props + propsBytes);
}

// Encodes every segment on its own, on as many threads as the machine has.
std::vector<std::vector<uint8_t>> encode_segments(const lzma_options_lzma& opt, const uint8_t* data,
                                                  size_t size, size_t segment) {
  const size_t count = (size + segment - 1) / segment;
  std::vector<std::vector<uint8_t>> parts(count);
  run_jobs(count, std::thread::hardware_concurrency(), [&](size_t i) {
    const size_t at = i * segment;
    encode_stream(LZMA_FILTER_LZMA2, opt, data + at, std::min(segment, size - at), parts[i]);
  });
  return parts;
}

// Bytes of the data coded per trial of the literal context bits, taken from a few places.
constexpr size_t kTrialPiece = size_t(256) << 10;
constexpr size_t kTrialPieces = 4;

// The literal context bits chosen for the data, and the data coded with them when the trial
// coded the whole of it.
struct LiteralContextChoice {
  uint32_t lc = 3;
  std::vector<uint8_t> stream;
};

// The literal context bits that code samples of the data smallest. Data of at least
// parallelFrom bytes is tried on two threads, smaller data one trial after another, which
// keeps a single coder in memory. A sample that is the whole data is coded as it will be
// coded, with filterId, and the winner's stream is kept.
LiteralContextChoice best_literal_context(lzma_vli filterId, lzma_options_lzma opt,
                                          const uint8_t* data, size_t size,
                                          const LzmaOptions& options) {
  const bool whole = size <= kTrialPiece * kTrialPieces;
  std::vector<uint8_t> sample;
  if (!whole) {
    for (size_t k = 0; k < kTrialPieces; ++k) {
      size_t at = (size - kTrialPiece) / (kTrialPieces - 1) * k;
      sample.insert(sample.end(), data + at, data + at + kTrialPiece);
    }
    // Matches across the pieces' borders mean nothing, and a dictionary beyond a piece only
    // costs the coder memory.
    opt.dict_size = std::min<uint32_t>(opt.dict_size, kTrialPiece);
    filterId = LZMA_FILTER_LZMA1;
  }
  const uint8_t* in = whole ? data : sample.data();
  const size_t inSize = whole ? size : sample.size();
  constexpr uint32_t kCandidates[] = {0, 1, 2, 3};
  std::vector<uint8_t> streams[std::size(kCandidates)];
  size_t sizes[std::size(kCandidates)] = {};
  auto trial = [&](size_t k) {
    lzma_options_lzma o = opt;
    o.lc = kCandidates[k];
    encode_stream(filterId, o, in, inSize, streams[k]);
    sizes[k] = streams[k].size();
    if (!whole) streams[k] = std::vector<uint8_t>();  // {} would keep the memory
  };
  if (size >= options.parallelFrom) {
    run_jobs(std::size(kCandidates), 2, trial);
  } else {
    for (size_t k = 0; k < std::size(kCandidates); ++k) {
      trial(k);
      // Only the smallest stream so far is worth keeping.
      for (size_t j = 0; j < k; ++j)
        if (!streams[j].empty() && sizes[k] < sizes[j]) streams[j] = std::vector<uint8_t>();
    }
  }
  // liblzma's default stays unless another setting codes the sample clearly smaller: gains
  // below a percent on a sample have been seen to turn into losses on the whole body. A
  // sample that is the whole data leaves nothing to guess: the smallest wins.
  size_t best = 3;
  for (size_t k = 0; k < std::size(kCandidates); ++k)
    if (whole ? sizes[k] < sizes[best] : sizes[k] * 100 < sizes[best] * 99) best = k;
  return LiteralContextChoice{kCandidates[best], std::move(streams[best])};
}

// liblzma's options for the data, the literal context bits tried unless they are given; a trial
// that coded the whole data leaves its stream in trialStream.
lzma_options_lzma options_for(lzma_vli filterId, const uint8_t* data, size_t size,
                              const LzmaOptions& options, std::vector<uint8_t>& trialStream) {
  lzma_options_lzma opt = make_options(size, options);
  if (options.literalContextBits < 0) {
    LiteralContextChoice choice = best_literal_context(filterId, opt, data, size, options);
    opt.lc = choice.lc;
    trialStream = std::move(choice.stream);
  }
  return opt;
}

// Whether the data is coded in one piece rather than in segments.
bool in_one_segment(lzma_vli filterId, size_t size, const LzmaOptions& options) {
  return filterId != LZMA_FILTER_LZMA2 || options.segments <= 1 || size < options.parallelFrom ||
         size < options.segments;
}

// The raw stream of the data coded with opt. LZMA2 data of at least parallelFrom bytes is cut
// into segments coded in parallel: each segment's stream starts with a chunk that resets the
// dictionary, so the streams joined without their end bytes are one LZMA2 stream.
std::vector<uint8_t> raw_stream(lzma_vli filterId, const lzma_options_lzma& opt,
                                const uint8_t* data, size_t size, const LzmaOptions& options) {
  std::vector<uint8_t> out;
  if (in_one_segment(filterId, size, options)) {
    encode_stream(filterId, opt, data, size, out);
    return out;
  }
  const size_t segment = (size + options.segments - 1) / options.segments;
  std::vector<std::vector<uint8_t>> parts = encode_segments(opt, data, size, segment);
  for (size_t i = 0; i < parts.size(); ++i) {
    std::vector<uint8_t>& p = parts[i];
    if (p.empty() || p.back() != 0x00) throw std::runtime_error("LZMA2 stream without end byte");
    out.insert(out.end(), p.begin(), i + 1 < parts.size() ? p.end() - 1 : p.end());
    p = std::vector<uint8_t>();  // {} would keep the memory
  }
  return out;
}

// The largest dictionary size below d on LZMA2's grid of 2^n and 3 * 2^(n-1) bytes, which
// LZMA2's property byte states exactly; 0 below liblzma's smallest.
uint32_t smaller_dictionary(uint32_t d) {
  if (d <= LZMA_DICT_SIZE_MIN) return 0;
  uint32_t power = 1;
  while (power <= (d - 1) / 2) power *= 2;  // the largest power of two below d
  const uint32_t between = power + power / 2;
  return std::max<uint32_t>(between < d ? between : power, LZMA_DICT_SIZE_MIN);
}

// The raw stream of the data and the options it was coded with: the literal context bits as
// options_for chooses them, then, when asked, ever smaller dictionaries for as long as they
// code the data no larger than the one before.
std::vector<uint8_t> coded_stream(lzma_vli filterId, const uint8_t* data, size_t size,
                                  const LzmaOptions& options, lzma_options_lzma& opt) {
  std::vector<uint8_t> stream;
  opt = options_for(filterId, data, size, options, stream);
  // The trial's stream is one piece.
  if (stream.empty() || !in_one_segment(filterId, size, options))
    stream = raw_stream(filterId, opt, data, size, options);
  if (!options.fitDictionary || size > options.fitDictionaryUpTo) return stream;
  // A dictionary trimmed to the data's length is off the grid; LZMA2 states the grid's next
  // size up, and the first step is to the grid's next size down. The steps down to half the
  // dictionary are all tried; beyond that, the steps go on while they code no larger.
  const uint32_t half = opt.dict_size / 2;
  for (uint32_t d = smaller_dictionary(opt.dict_size); d != 0; d = smaller_dictionary(d)) {
    if (d < half && size > options.fitBelowHalfUpTo) break;
    lzma_options_lzma smaller = opt;
    smaller.dict_size = d;
    std::vector<uint8_t> tried = raw_stream(filterId, smaller, data, size, options);
    if (tried.size() > stream.size()) {
      if (d < half) break;
      continue;
    }
    stream = std::move(tried);
    opt = smaller;
  }
  return stream;
}

}  // namespace

uint32_t lzma_dict_size_for(size_t size, const LzmaOptions& options) {
  uint64_t d = std::min<uint64_t>(options.dictSize, std::max<size_t>(size, 1));
  return static_cast<uint32_t>(std::max<uint64_t>(d, LZMA_DICT_SIZE_MIN));
}

std::vector<uint8_t> lzma_encode(const uint8_t* data, size_t size, const LzmaOptions& options) {
  lzma_options_lzma opt;
  std::vector<uint8_t> stream = coded_stream(LZMA_FILTER_LZMA1, data, size, options, opt);
  std::vector<uint8_t> head{5};
  const std::vector<uint8_t> props = props_of(LZMA_FILTER_LZMA1, opt, 5);
  head.insert(head.end(), props.begin(), props.end());
  // In front of the stream in place: a body can be tens of megabytes, not worth a second copy.
  stream.insert(stream.begin(), head.begin(), head.end());
  return stream;
}

std::vector<uint8_t> lzma2_encode(const uint8_t* data, size_t size, const LzmaOptions& options) {
  lzma_options_lzma opt;
  std::vector<uint8_t> stream = coded_stream(LZMA_FILTER_LZMA2, data, size, options, opt);
  const std::vector<uint8_t> props = props_of(LZMA_FILTER_LZMA2, opt, 1);
  stream.insert(stream.begin(), props.begin(), props.end());  // in place, as above
  return stream;
}

}  // namespace hldiff
