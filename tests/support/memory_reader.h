// A raw or body reader over bytes in memory, for the tests, the fuzz targets and the benchmarks.
// Header-only, so that the fuzz and bench builds (which leave tests/ out) can include it too.
#ifndef HL_TEST_MEMORY_READER_H
#define HL_TEST_MEMORY_READER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "patch/hl_types.h"

namespace hl_test {

using Bytes = std::vector<uint8_t>;

// Each call delivers what is left, at most maxChunk bytes (kNoLimit: all that is asked), so a
// reader can come up short in the middle of the data; 0 delivers nothing. It counts every call and
// what was asked, and can play a failing reader (failAll), one that answers false once asked for
// bytes past the end (failAtEnd) or one that claims more bytes than it placed (overReport).
struct MemoryReader {
  static constexpr uint32_t kNoLimit = UINT32_MAX;

  Bytes data;
  std::size_t pos = 0;
  uint32_t maxChunk = kNoLimit;
  bool failAll = false;     // every call returns false
  bool failAtEnd = false;   // a call that asks for bytes when none are left returns false
  uint32_t overReport = 0;  // a call that placed bytes reports this many more
  std::size_t calls = 0;
  std::vector<uint32_t> asked;  // the count of every call, in order

  explicit MemoryReader(Bytes bytes = {}, uint32_t chunk = kNoLimit)
      : data(std::move(bytes)), maxChunk(chunk) {}

  static hl_bool read(void* handle, hl_byte* buf, uint32_t* count) {
    auto* self = static_cast<MemoryReader*>(handle);
    ++self->calls;
    self->asked.push_back(*count);
    if (self->failAll) return hl_FALSE;
    const std::size_t left = self->data.size() - self->pos;
    if (self->failAtEnd && *count > 0 && left == 0) {
      *count = 0;
      return hl_FALSE;
    }
    const std::size_t n = std::min<std::size_t>({*count, self->maxChunk, left});
    if (n > 0) std::memcpy(buf, self->data.data() + self->pos, n);
    self->pos += n;
    *count = static_cast<uint32_t>(n) + (n > 0 ? self->overReport : 0);
    return hl_TRUE;
  }
};

}  // namespace hl_test

#endif
