// Builds compressed hpatch_lite patch files for the end-to-end tests: a header, the plugin's
// prefix and a compressed body.
#ifndef HL_TEST_PATCH_FILE_H
#define HL_TEST_PATCH_FILE_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tests/decompress/tuz_writer.h"

namespace hl_test {

using Bytes = std::vector<uint8_t>;

inline void put_packed(Bytes& out, uint32_t value) {
  uint8_t groups[5];
  int n = 0;
  do {
    groups[n++] = uint8_t(value & 0x7F);
    value >>= 7;
  } while (value != 0);
  while (n-- > 0) out.push_back(uint8_t(groups[n] | (n > 0 ? 0x80 : 0)));
}

// The body that turns oldData into newData: one difference cover over the common length, then
// a final empty cover whose literal run is the rest of the new data.
inline Bytes make_body(const Bytes& oldData, const Bytes& newData) {
  Bytes body;
  size_t common = std::min(oldData.size(), newData.size());
  put_packed(body, common > 0 ? 2 : 1);
  if (common > 0) {
    put_packed(body, uint32_t(common));
    body.push_back(0x00);  // difference bytes follow, step 0
    put_packed(body, 0);
    for (size_t i = 0; i < common; ++i) body.push_back(uint8_t(newData[i] - oldData[i]));
  }
  put_packed(body, 0);
  body.push_back(0x00);
  put_packed(body, uint32_t(newData.size() - common));
  body.insert(body.end(), newData.begin() + common, newData.end());
  return body;
}

inline Bytes make_patch(uint8_t compressType, uint32_t newSize, uint32_t uncompressSize, const Bytes& prefix,
                        const Bytes& stream) {
  Bytes p;
  p.reserve(12 + prefix.size() + stream.size());
  for (uint8_t b : {uint8_t(0x68), uint8_t(0x49), compressType, uint8_t(0x40 | 4 | (4 << 3))}) p.push_back(b);
  for (int i = 0; i < 4; ++i) p.push_back(uint8_t(newSize >> (8 * i)));
  for (int i = 0; i < 4; ++i) p.push_back(uint8_t(uncompressSize >> (8 * i)));
  for (uint8_t b : prefix) p.push_back(b);
  for (uint8_t b : stream) p.push_back(b);
  return p;
}

// A simple tuz encoding: literal blocks and single literals, with a match wherever the next
// bytes repeat those at a few fixed distances.
inline TuzWriter tuz_encode(const Bytes& data) {
  TuzWriter w;
  size_t i = 0;
  Bytes pending;
  auto flush = [&] {
    if (pending.size() >= 15) {
      w.literal_block(pending);
    } else {
      for (uint8_t b : pending) w.literal(b);
    }
    pending.clear();
  };
  while (i < data.size()) {
    size_t bestLen = 0, bestDist = 0;
    for (size_t dist : {1u, 2u, 4u, 100u, 1000u, 3000u}) {
      if (dist > i) break;
      size_t len = 0;
      while (i + len < data.size() && len < 5000 && data[i + len] == data[i + len - dist]) ++len;
      if (len > bestLen) bestLen = len, bestDist = dist;
    }
    if (bestLen >= 4) {
      flush();
      w.match(uint32_t(bestLen), uint32_t(bestDist));
      i += bestLen;
    } else {
      pending.push_back(data[i++]);
      if (pending.size() == 300) flush();
    }
  }
  flush();
  w.end();
  return w;
}

}  // namespace hl_test

#endif
