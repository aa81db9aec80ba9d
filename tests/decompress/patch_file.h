// Builds compressed hpatch_lite patch files for the end-to-end tests: a header, the plugin's
// prefix and a compressed body.
#ifndef HL_TEST_PATCH_FILE_H
#define HL_TEST_PATCH_FILE_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tests/decompress/tuz_writer.h"
#include "tests/support/patch_writer.h"

namespace hl_test {

// The body that turns oldData into newData: one difference cover over the common length, then
// a final empty cover whose literal run is the rest of the new data.
inline Bytes make_body(const Bytes& oldData, const Bytes& newData) {
  const size_t common = std::min(oldData.size(), newData.size());
  std::vector<CoverRecord> covers;
  if (common > 0) {
    CoverRecord difference;
    difference.coverLen = uint32_t(common);
    for (size_t i = 0; i < common; ++i) difference.diff.push_back(uint8_t(newData[i] - oldData[i]));
    covers.push_back(difference);
  }
  CoverRecord rest;
  rest.literal.assign(newData.begin() + common, newData.end());
  covers.push_back(rest);
  return write_body(covers);
}

// A header with both sizes in 4-byte fields, then the plugin's prefix and the compressed stream.
inline Bytes make_patch(uint8_t compressType, uint32_t newSize, uint32_t uncompressSize,
                        const Bytes& prefix, const Bytes& stream) {
  HeaderFields fields;
  fields.compressType = compressType;
  fields.newSize = newSize;
  fields.uncompressSize = uncompressSize;
  fields.uncompressSizeWidth = 4;
  Bytes p = make_header(fields);
  p.insert(p.end(), prefix.begin(), prefix.end());
  p.insert(p.end(), stream.begin(), stream.end());
  return p;
}

// A simple tuz encoding: literal blocks and single literals, with a match wherever the next
// bytes repeat those at a few fixed distances.
inline TuzWriter tuz_encode(const Bytes& data) {
  TuzWriter w;
  size_t i = 0;
  Bytes pending;
  auto flush = [&] {
    w.literals(pending);
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
