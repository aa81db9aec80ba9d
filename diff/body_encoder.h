// Chooses and runs the body compression; yields the compress type and what follows the header.
#ifndef DIFF_BODY_ENCODER_H
#define DIFF_BODY_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "diff/patch_header.h"

namespace hldiff {

enum class Compression {
  None,
  Tuz,
  Zlib,
  Gzip,
  Deflate,
  Lzma,
  Lzma2
};

// Smallest dictionary used unless asked otherwise; LZMA bodies get larger ones as they grow
// (lzma_default_dict_for), tuz keeps this one.
constexpr uint32_t kDefaultDictCap = uint32_t(512) << 10;
// Largest LZMA dictionary chosen unless asked otherwise: it bounds the applier's memory, which
// has to stay far below what the other patch tools need on the same files.
constexpr uint32_t kLargestDefaultLzmaDict = uint32_t(16) << 20;

// An eighth of the body, as a power of two from kDefaultDictCap to kLargestDefaultLzmaDict:
// long bodies repeat their literal runs and difference patterns at long distances.
uint32_t lzma_default_dict_for(size_t bodySize);

struct EncodeOptions {
  Compression compression = Compression::Lzma2;
  int level = -1;                   // -1: the compressor's best
  uint64_t dictSize = 0;            // 0: chosen from the body's size (deflate: 32 KiB)
  int lzmaLiteralContextBits = -1;  // LZMA and LZMA2: -1 picks them by trial
};

struct EncodedBody {
  CompressType type = CompressType::None;
  std::vector<uint8_t> payload;  // decompressor prefix and compressed stream, or the raw body
};

EncodedBody encode_body(const std::vector<uint8_t>& body, const EncodeOptions& options);

std::optional<Compression> compression_from_name(const std::string& name);
const char* compression_name(Compression c);

}  // namespace hldiff

#endif
