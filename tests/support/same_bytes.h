// Equality of two byte strings that reports the sizes and the first difference, not the contents.
#ifndef HL_TEST_SAME_BYTES_H
#define HL_TEST_SAME_BYTES_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include <gtest/gtest.h>

namespace hl_test {

template <typename A, typename B>
::testing::AssertionResult same_bytes(const A& want, const B& got) {
  std::size_t n = std::min<std::size_t>(want.size(), got.size());
  for (std::size_t i = 0; i < n; ++i) {
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
