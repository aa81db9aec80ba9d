#include "diff/patch_maker.h"

#include <stdexcept>

#include "diff/body_writer.h"
#include "diff/cover_search.h"
#include "diff/patch_header.h"
#include "diff/suffix_index.h"

namespace hldiff {
namespace {

// The applier's body refill sizes with its fixed 32 KiB cache: half of it for a raw body,
// half of the three quarters left beside the decompressor's input cache otherwise.
constexpr size_t kRawReadBlock = 16384;
constexpr size_t kDecodedReadBlock = 12288;

// Below these lengths an unchanged run inside a cover stays as zero differences: a raw body
// pays for every byte, a compressor hardly pays for zeros but does for extra cover headers
// (measured on library updates: LZMA does best with whole covers, tuz and deflate with only
// long runs split off).
size_t plain_run_min_for(Compression c) {
  switch (c) {
    case Compression::None: return 12;
    case Compression::Lzma:
    case Compression::Lzma2: return 0;
    default: return 1024;
  }
}

}  // namespace

std::vector<uint8_t> make_patch(const uint8_t* old, size_t oldSize, const uint8_t* neu,
                                size_t newSize, const MakeOptions& options) {
  if (oldSize > kMaxFileSize) throw std::length_error("old file is larger than 4 GiB - 1 bytes");
  if (newSize > kMaxFileSize) throw std::length_error("new file is larger than 4 GiB - 1 bytes");

  auto step = [&](const char* name) {
    if (options.stage) options.stage(name);
  };
  std::vector<Cover> covers;
  {
    step("sorting OLD");
    SuffixIndex index(old, oldSize);
    step("matching");
    covers = find_covers(old, oldSize, neu, newSize, index, options.progress);
  }
  const Compression c = options.encode.compression;
  BodyOptions bodyOptions;
  bodyOptions.plainRunMin = plain_run_min_for(c);
  bodyOptions.readBlock = c == Compression::None ? kRawReadBlock : kDecodedReadBlock;
  // Zero padding costs a raw body its full size but a compressed one next to nothing.
  bodyOptions.padCallLimit = c == Compression::None ? 65536 : 64;
  std::vector<uint8_t> body = write_body(old, oldSize, neu, newSize, covers, bodyOptions);
  covers = {};

  const uint32_t bodySize = static_cast<uint32_t>(body.size());
  if (body.size() > kMaxFileSize) throw std::length_error("patch body is larger than 4 GiB - 1 bytes");
  step("compressing");
  EncodedBody encoded = encode_body(body, options.encode);
  body = {};
  const uint32_t uncompressSize = encoded.type == CompressType::None ? 0 : bodySize;
  std::vector<uint8_t> patch =
      write_patch_header(encoded.type, static_cast<uint32_t>(newSize), uncompressSize);
  patch.insert(patch.end(), encoded.payload.begin(), encoded.payload.end());
  return patch;
}

}  // namespace hldiff
