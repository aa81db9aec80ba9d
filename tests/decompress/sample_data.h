// Test data for the decompressor suites, and a byte comparison that reports only the first
// difference. The in-memory reader is tests/support/memory_io.h.
#ifndef HL_TEST_SAMPLE_DATA_H
#define HL_TEST_SAMPLE_DATA_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/patch_writer.h"

namespace hl_test {

// Deterministic pseudo-random bytes with some repetition, so that the encoders find matches.
inline Bytes sample_data(size_t size, uint32_t seed) {
  Bytes out;
  out.reserve(size);
  uint32_t x = seed * 2654435761u + 1u;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  while (out.size() < size) {
    uint32_t r = next();
    if (out.size() > 16 && (r & 3u) == 0) {
      size_t dist = 1 + next() % std::min<size_t>(out.size(), 3000);
      size_t len = 3 + next() % 40;
      for (size_t i = 0; i < len && out.size() < size; ++i) out.push_back(out[out.size() - dist]);
    } else {
      out.push_back(static_cast<uint8_t>("the quick brown fox "[r % 20] ^ ((r >> 8) & 1u)));
    }
  }
  return out;
}

// Equality of two byte strings that reports the sizes and the first difference, not the contents.
template <typename A, typename B>
::testing::AssertionResult same_bytes(const A& want, const B& got) {
  size_t n = std::min<size_t>(want.size(), got.size());
  for (size_t i = 0; i < n; ++i) {
    if (uint8_t(want[i]) != uint8_t(got[i]))
      return ::testing::AssertionFailure() << "first difference at " << i << " of " << want.size()
                                           << " (got " << got.size() << " bytes)";
  }
  if (want.size() != got.size())
    return ::testing::AssertionFailure() << "want " << want.size() << " bytes, got " << got.size();
  return ::testing::AssertionSuccess();
}

}  // namespace hl_test

#endif
