#include "diff/body_encoder.h"

#include <algorithm>
#include <stdexcept>

#include "diff/deflate_encoder.h"
#include "diff/lzma_encoder.h"
#include "diff/tuz_encoder.h"

namespace hldiff {
namespace {

struct NamedCompression {
  const char* name;
  Compression value;
};

constexpr NamedCompression kNames[] = {
    {"none", Compression::None},   {"tuz", Compression::Tuz},         {"zlib", Compression::Zlib},
    {"gzip", Compression::Gzip},   {"deflate", Compression::Deflate}, {"lzma", Compression::Lzma},
    {"lzma2", Compression::Lzma2},
};

uint32_t dict_or(uint64_t asked, uint64_t fallback, uint64_t max) {
  uint64_t d = asked == 0 ? fallback : asked;
  return static_cast<uint32_t>(std::min(d, max));
}

// tuz bodies up to this size are coded with smaller dictionaries too. The applier holds the
// whole dictionary, and the matches of a patch body lie mostly close by (runs of zero differences,
// difference patterns repeated nearby), whose distances a shorter dictionary codes in fewer bits
// (measured on six program pairs of 0.5 to 7.7 MB: four coded smallest with 16 or 128 KiB, one
// with 256 KiB, one with the default; the trials add 5 to 40 % to the creation time).
constexpr size_t kTuzFitUpTo = size_t(8) << 20;
constexpr uint32_t kTuzSmallestFitDict = uint32_t(4) << 10;
// The halving stops at a coding this many thousandths larger than the smallest so far: past such
// a step, none came back below it.
constexpr size_t kTuzFitGiveUpPerMille = 5;

// The data coded with the dictionary of options, then with its halves while they are shorter
// than the data (a longer one is trimmed to the data): the smallest coding wins, and of equal ones
// the one with the shorter dictionary.
std::vector<uint8_t> tuz_encode_fitted(const uint8_t* data, size_t size, TuzOptions options) {
  std::vector<uint8_t> best = tuz_encode(data, size, options);
  for (uint32_t d = options.dictSize / 2; d >= kTuzSmallestFitDict; d /= 2) {
    if (d >= size) continue;
    options.dictSize = d;
    std::vector<uint8_t> tried = tuz_encode(data, size, options);
    if (tried.size() <= best.size()) {
      best = std::move(tried);
    } else if ((tried.size() - best.size()) * 1000 > best.size() * kTuzFitGiveUpPerMille) {
      break;
    }
  }
  return best;
}

}  // namespace

uint32_t lzma_default_dict_for(size_t bodySize) {
  uint32_t d = kDefaultDictCap;
  while (d < kLargestDefaultLzmaDict && uint64_t(d) * 2 * 8 <= bodySize) d *= 2;
  return d;
}

std::optional<Compression> compression_from_name(const std::string& name) {
  for (const auto& n : kNames)
    if (name == n.name) return n.value;
  return std::nullopt;
}

const char* compression_name(Compression c) {
  for (const auto& n : kNames)
    if (c == n.value) return n.name;
  return "?";
}

EncodedBody encode_body(const std::vector<uint8_t>& body, const EncodeOptions& options) {
  EncodedBody result;
  const uint8_t* data = body.data();
  const size_t size = body.size();
  switch (options.compression) {
    case Compression::None:
      result.type = CompressType::None;
      result.payload = body;
      break;
    case Compression::Tuz: {
      TuzOptions o;
      o.dictSize = dict_or(options.dictSize, kDefaultDictCap, kTuzMaxDictSize);
      o.level = options.level < 0 ? 9 : options.level;
      result.type = CompressType::Tuz;
      // A dictionary asked for is kept.
      result.payload = options.dictSize == 0 && size <= kTuzFitUpTo
                           ? tuz_encode_fitted(data, size, o)
                           : tuz_encode(data, size, o);
      break;
    }
    case Compression::Zlib:
    case Compression::Gzip:
    case Compression::Deflate: {
      DeflateOptions o;
      o.framing = options.compression == Compression::Zlib   ? DeflateFraming::Zlib
                  : options.compression == Compression::Gzip ? DeflateFraming::Gzip
                                                             : DeflateFraming::Raw;
      o.level = options.level < 0 ? 9 : options.level;
      o.windowBits =
          deflate_window_bits_for(size, options.dictSize == 0 ? 32768 : options.dictSize);
      result.type = CompressType::Zlib;
      result.payload = deflate_encode(data, size, o);
      break;
    }
    case Compression::Lzma:
    case Compression::Lzma2: {
      LzmaOptions o;
      o.dictSize = dict_or(options.dictSize, lzma_default_dict_for(size), uint32_t(1) << 30);
      // A dictionary asked for is kept; the one chosen from the size is an upper bound.
      o.fitDictionary = options.dictSize == 0;
      // Unless a level is asked for, the best preset tuned for patch bodies.
      o.level = options.level < 0 ? 9 : options.level;
      o.bodyTuned = options.level < 0;
      o.literalContextBits = options.lzmaLiteralContextBits;
      if (options.compression == Compression::Lzma) {
        result.type = CompressType::Lzma;
        result.payload = lzma_encode(data, size, o);
      } else {
        result.type = CompressType::Lzma2;
        result.payload = lzma2_encode(data, size, o);
      }
      break;
    }
  }
  return result;
}

}  // namespace hldiff
