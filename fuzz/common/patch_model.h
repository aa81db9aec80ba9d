// A plain, whole-buffer reading of an hpatch_lite patch, written independently of the engine (it
// shares only the format's numbers) so that fuzz targets can compare the engine's streaming,
// cache-bounded result against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "patch/hpatch_lite_format.h"

namespace qr_fuzz {

struct ModelHeader {
  bool ok = false;
  uint32_t compressType = 0;
  uint32_t newSize = 0;
  uint32_t uncompressSize = 0;
  size_t length = 0;  // bytes the header takes (size fields possibly cut short by the input's end)
};

// falseAtEnd: the reader answers false (not an empty delivery) once its data has run out.
inline ModelHeader model_header(const std::vector<uint8_t>& patch, bool falseAtEnd) {
  ModelHeader h;
  if (patch.size() < 4) return h;
  if (patch[0] != HPATCH_LITE_MAGIC_0 || patch[1] != HPATCH_LITE_MAGIC_1 ||
      (patch[3] & HPATCH_LITE_VERSION_MASK) != HPATCH_LITE_VERSION_BITS)
    return h;
  const unsigned n = patch[3] & HPATCH_LITE_WIDTH_MASK;
  const unsigned m = (patch[3] >> HPATCH_LITE_UNCOMPRESS_WIDTH_SHIFT) & HPATCH_LITE_WIDTH_MASK;
  if (n > HPATCH_LITE_SIZE_FIELD_MAX || m > HPATCH_LITE_SIZE_FIELD_MAX) return h;
  size_t pos = 4;
  auto field = [&](unsigned width, uint32_t& value) {
    value = 0;
    if (width == 0) return true;
    if (pos >= patch.size() && falseAtEnd) return false;
    for (unsigned i = 0; i < width && pos < patch.size(); ++i, ++pos)
      value |= static_cast<uint32_t>(patch[pos]) << (8 * i);
    return true;
  };
  h.compressType = patch[2];
  if (!field(n, h.newSize) || !field(m, h.uncompressSize)) return h;
  h.length = pos;
  h.ok = true;
  return h;
}

struct ModelResult {
  bool ok = false;
  std::vector<uint8_t> newData;
};

// Applies an uncompressed body. Missing body bytes read as 0 and mark the input dry, as in the
// engine. Output beyond outCap counts as a failure (the fuzz listeners refuse it too).
inline ModelResult model_apply(const std::vector<uint8_t>& old, const uint8_t* body,
                               size_t bodySize, uint32_t newSize, uint32_t cacheSize,
                               size_t outCap) {
  ModelResult r;
  if (cacheSize < 2) return r;
  size_t pos = 0;
  bool dry = false;
  auto take = [&]() -> uint8_t {
    if (pos < bodySize) return body[pos++];
    dry = true;
    return 0;
  };
  // A number whose continuation bytes run on past kMaxContinuation ends the body as if dry.
  constexpr unsigned kMaxContinuation = 10;
  auto continuation = [&](uint32_t v) {
    uint8_t b = 0;
    unsigned taken = 0;
    do {
      if (taken++ == kMaxContinuation) {
        pos = bodySize;
        dry = true;
        break;
      }
      b = take();
      v = (v << 7) | (b & HPATCH_LITE_PACKED_BITS);
    } while (b & HPATCH_LITE_PACKED_MORE);
    return v;
  };
  auto packed = [&]() {
    const uint8_t b = take();
    const uint32_t v = b & HPATCH_LITE_PACKED_BITS;
    return (b & HPATCH_LITE_PACKED_MORE) ? continuation(v) : v;
  };
  const uint32_t coverCount = packed();
  uint32_t oldPos = 0, newPos = 0;
  for (uint32_t left = coverCount; left > 0; --left) {
    const uint32_t coverLen = packed();
    const uint8_t tag = take();
    uint32_t step = tag & HPATCH_LITE_TAG_STEP_BITS;
    if (tag & HPATCH_LITE_TAG_STEP_MORE) step = continuation(step);
    const uint32_t coverOld = (tag & HPATCH_LITE_TAG_BACKWARD) ? oldPos - step : oldPos + step;
    const uint32_t literalLen = packed();
    if (static_cast<uint32_t>(newPos + literalLen) < newPos) return r;
    const uint32_t coverNew = newPos + literalLen;
    if (coverNew > newSize || coverLen > newSize - coverNew) return r;  // nothing past newSize
    if (literalLen > 0) {
      if (dry || bodySize - pos < literalLen) return r;
      r.newData.insert(r.newData.end(), body + pos, body + pos + literalLen);
      pos += literalLen;
    }
    if (coverLen > 0) {
      if (dry) return r;
      if (static_cast<uint64_t>(coverOld) + coverLen > old.size()) return r;
      const bool plain = (tag & HPATCH_LITE_TAG_PLAIN_COPY) != 0;
      if (!plain && bodySize - pos < coverLen) return r;
      for (uint32_t i = 0; i < coverLen; ++i) {
        uint8_t v = old[coverOld + i];
        if (!plain) v = static_cast<uint8_t>(v + body[pos + i]);
        r.newData.push_back(v);
      }
      if (!plain) pos += coverLen;
    }
    if (r.newData.size() > outCap) return r;
    oldPos = coverOld + coverLen;
    newPos = newPos + literalLen + coverLen;
    if (coverLen == 0 && left > 1) return r;
  }
  r.ok = newPos == newSize && !dry;
  return r;
}

}  // namespace qr_fuzz
