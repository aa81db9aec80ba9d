// In-memory listeners for driving the patch engine in tests; MemoryReader feeds them the patch.
#ifndef HL_TEST_MEMORY_IO_H
#define HL_TEST_MEMORY_IO_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "patch/hl_types.h"
#include "patch/hpatch_lite.h"
#include "tests/support/memory_reader.h"
#include "tests/support/patch_writer.h"

namespace hl_test {

// A PatchListener over an old byte vector and a growing new vector. Records the position and
// size of every readOld (or lendOld) call and the size of every writeNew call.
struct MemoryListener {
  PatchListener base{};  // first, so the engine's listener pointer is this record's
  const Bytes* oldData = nullptr;
  Bytes newData;
  std::vector<uint32_t> readPositions;
  std::vector<uint32_t> readSizes;
  std::vector<uint32_t> writeSizes;
  std::size_t failWriteAfter = static_cast<std::size_t>(-1);  // writeNew fails past this total

  std::size_t lendCalls = 0;
  Bytes room;                         // what newSpace lends, once lend_room was called
  uint32_t roomLimit = 0;             // its rooms are 1, 2, ... up to this many bytes long
  std::vector<uint32_t> commitSizes;  // every commitNew call

  PatchOldSpans spans{};  // what lend_spans shows the engine
  uint32_t spanSize = 0;
  // What tookOld was told, so that a test can line the taken ranges up with the lent ones: the
  // spans' record as it stood, and the lendOld calls made before.
  std::vector<PatchOldSpans> told;
  std::vector<std::size_t> lentBefore;
  std::size_t lendsTheSpansHeld = 0;  // lendOld calls for ranges the spans held

  MemoryListener(const Bytes& oldBytes, MemoryReader& reader);
  // From here on old bytes come through lendOld: every other call lends the old vector's own
  // bytes, the others fill the engine's buffer.
  void lend_old();
  // From here on new bytes are placed in rooms that newSpace lends, of sizes that go round from 1
  // to limit; commitNew appends them (and fails past failWriteAfter as writeNew does).
  void lend_room(uint32_t limit);
  // From here on old bytes are lent from the old vector, and after each lend the engine is shown
  // two spans of it: the size-aligned block of size bytes around the range lent, and the block of
  // four times the size around the range lent before, so that a range can start in the first span
  // and lie whole in the second.
  void lend_spans(uint32_t size);
};

// The span that the patch engine takes [oldPos, oldPos + size) from: the first that holds oldPos,
// if it holds the range whole; else -1.
int spans_holder(const PatchOldSpans& spans, uint32_t oldPos, uint32_t size);

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
                            uint32_t maxChunk = MemoryReader::kNoLimit);

}  // namespace hl_test

#endif
