#include "diff/patch_header.h"

namespace hldiff {
namespace {

unsigned byte_count(uint32_t v) {
  unsigned n = 0;
  while (n < HPATCH_LITE_SIZE_FIELD_MAX && (v >> (8 * n)) != 0) ++n;
  return n;
}

void append_le(std::vector<uint8_t>& out, uint32_t v, unsigned n) {
  for (unsigned i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> write_patch_header(CompressType type, uint32_t newSize,
                                        uint32_t uncompressSize) {
  const unsigned n = byte_count(newSize);
  const unsigned m = byte_count(uncompressSize);
  std::vector<uint8_t> out{HPATCH_LITE_MAGIC_0, HPATCH_LITE_MAGIC_1, static_cast<uint8_t>(type),
                           static_cast<uint8_t>(HPATCH_LITE_VERSION_BITS |
                                                (m << HPATCH_LITE_UNCOMPRESS_WIDTH_SHIFT) | n)};
  append_le(out, newSize, n);
  append_le(out, uncompressSize, m);
  return out;
}

}  // namespace hldiff
