// The patch header: magic "hI", compress type, size-field layout, newSize, uncompressSize.
#ifndef DIFF_PATCH_HEADER_H
#define DIFF_PATCH_HEADER_H

#include <cstdint>
#include <vector>

#include "patch/hpatch_lite_format.h"

namespace hldiff {

enum class CompressType : uint8_t {
  None = HPATCH_LITE_COMPRESS_NONE,
  Tuz = HPATCH_LITE_COMPRESS_TUZ,
  Zlib = HPATCH_LITE_COMPRESS_ZLIB,
  Lzma = HPATCH_LITE_COMPRESS_LZMA,
  Lzma2 = HPATCH_LITE_COMPRESS_LZMA2
};

// Each size is written in the fewest little-endian bytes that hold it (none for 0).
std::vector<uint8_t> write_patch_header(CompressType type, uint32_t newSize,
                                        uint32_t uncompressSize);

}  // namespace hldiff

#endif
