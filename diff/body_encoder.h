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

enum class Compression { None, Tuz, Zlib, Gzip, Deflate, Lzma, Lzma2 };

// Largest dictionary used unless asked otherwise: the applier's memory grows with it, while
// patch bodies gain little from a larger one (measured on library updates).
constexpr uint32_t kDefaultDictCap = uint32_t(512) << 10;

struct EncodeOptions {
  Compression compression = Compression::Lzma2;
  int level = -1;         // -1: the compressor's best
  uint64_t dictSize = 0;  // 0: kDefaultDictCap (deflate: 32 KiB)
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
