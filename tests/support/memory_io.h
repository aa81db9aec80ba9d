// In-memory body readers and listeners for driving the patch engine in tests.
#ifndef HL_TEST_MEMORY_IO_H
#define HL_TEST_MEMORY_IO_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "patch/hl_types.h"
#include "patch/hpatch_lite.h"
#include "tests/support/patch_writer.h"

namespace hl_test {

// A body reader over a byte vector. Each call delivers at most maxChunk bytes (0: no limit), so
// a reader can come up short in the middle of the data. Counts every call and what was asked.
struct MemoryReader {
  const Bytes* data = nullptr;
  std::size_t pos = 0;
  uint32_t maxChunk = 0;
  std::size_t calls = 0;
  std::vector<uint32_t> asked;  // the count of every call, in order

  explicit MemoryReader(const Bytes& bytes, uint32_t chunk = 0) : data(&bytes), maxChunk(chunk) {}
  static hl_bool read(void* handle, hl_byte* buf, uint32_t* count);
};

// A PatchListener over an old byte vector and a growing new vector. Records the size of every
// readOld and writeNew call.
struct MemoryListener {
  PatchListener base{};  // first, so the engine's listener pointer is this record's
  const Bytes* oldData = nullptr;
  Bytes newData;
  std::vector<uint32_t> readSizes;
  std::vector<uint32_t> writeSizes;
  std::size_t failWriteAfter = static_cast<std::size_t>(-1);  // writeNew fails past this total

  MemoryListener(const Bytes& oldBytes, MemoryReader& reader);
};

// Result of applying a patch in memory with hpatch_lite_open and hpatch_lite_patch.
struct ApplyResult {
  bool opened = false;
  bool patched = false;
  uint32_t compressType = 0;
  uint32_t newSize = 0;
  uint32_t uncompressSize = 0;
  Bytes newData;
};

// Opens and applies an uncompressed patch. maxChunk limits every delivery of the body reader.
ApplyResult apply_in_memory(const Bytes& oldData, const Bytes& patch, uint32_t cacheSize,
                            uint32_t maxChunk = 0);

}  // namespace hl_test

#endif
