// Writers of the body's variable-length numbers.
#ifndef DIFF_PACKED_NUMBER_H
#define DIFF_PACKED_NUMBER_H

#include <cstdint>
#include <vector>

#include "patch/hpatch_lite_format.h"

namespace hldiff {

// The bytes append_packed writes for value.
inline int packed_size(uint64_t value) {
  int groups = 1;
  while (groups < 5 && (value >> (7 * groups)) != 0) ++groups;
  return groups;
}

// The continuation bytes after a cover tag for step.
inline int cover_tag_extra_bytes(uint64_t step) {
  int extra = 0;
  while (extra < 5 && (step >> (7 * extra)) > HPATCH_LITE_TAG_STEP_BITS) ++extra;
  return extra;
}

// Seven bits per byte, most significant group first; bit 7 says another byte follows.
inline void append_packed(std::vector<uint8_t>& out, uint32_t value) {
  const int groups = packed_size(value);
  for (int g = groups - 1; g >= 0; --g) {
    uint8_t b = static_cast<uint8_t>((value >> (7 * g)) & HPATCH_LITE_PACKED_BITS);
    if (g != 0) b |= HPATCH_LITE_PACKED_MORE;
    out.push_back(b);
  }
}

// Cover tag: plain-copy flag (bit 7), backward flag (bit 6), then the step with its top five
// bits in the tag and the rest in continuation bytes of seven bits each.
inline void append_cover_tag(std::vector<uint8_t>& out, bool plainCopy, bool backward,
                             uint32_t step) {
  uint8_t tag = static_cast<uint8_t>((plainCopy ? HPATCH_LITE_TAG_PLAIN_COPY : 0) |
                                     (backward ? HPATCH_LITE_TAG_BACKWARD : 0));
  const int extra = cover_tag_extra_bytes(step);
  if (extra == 0) {
    out.push_back(static_cast<uint8_t>(tag | step));
    return;
  }
  out.push_back(static_cast<uint8_t>(tag | HPATCH_LITE_TAG_STEP_MORE | (step >> (7 * extra))));
  for (int g = extra - 1; g >= 0; --g) {
    uint8_t b = static_cast<uint8_t>((step >> (7 * g)) & HPATCH_LITE_PACKED_BITS);
    if (g != 0) b |= HPATCH_LITE_PACKED_MORE;
    out.push_back(b);
  }
}

}  // namespace hldiff

#endif
