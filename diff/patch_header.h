// The patch header: magic "hI", compress type, size-field layout, newSize, uncompressSize.
#ifndef DIFF_PATCH_HEADER_H
#define DIFF_PATCH_HEADER_H

#include <cstdint>
#include <vector>

namespace hldiff {

enum class CompressType : uint8_t { None = 0, Tuz = 1, Zlib = 2, Lzma = 3, Lzma2 = 4 };

// Each size is written in the fewest little-endian bytes that hold it (none for 0).
std::vector<uint8_t> write_patch_header(CompressType type, uint32_t newSize,
                                        uint32_t uncompressSize);

}  // namespace hldiff

#endif
