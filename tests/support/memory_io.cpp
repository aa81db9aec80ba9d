// In-memory listeners for the patch engine.
#include "tests/support/memory_io.h"

#include <algorithm>
#include <cstring>

namespace hl_test {

namespace {

hl_bool listener_read_old(PatchListener* listener, uint32_t oldPos, hl_byte* data, uint32_t size) {
  auto* self = reinterpret_cast<MemoryListener*>(listener);
  self->readPositions.push_back(oldPos);
  self->readSizes.push_back(size);
  const Bytes& old = *self->oldData;
  if (oldPos > old.size() || size > old.size() - oldPos) return hl_FALSE;
  if (size > 0) std::memcpy(data, old.data() + oldPos, size);
  return hl_TRUE;
}

const hl_byte* listener_lend_old(PatchListener* listener, uint32_t oldPos, hl_byte* data,
                                 uint32_t size) {
  auto* self = reinterpret_cast<MemoryListener*>(listener);
  const Bytes& old = *self->oldData;
  if (++self->lendCalls % 2 == 1) {
    return listener_read_old(listener, oldPos, data, size) ? data : nullptr;
  }
  self->readPositions.push_back(oldPos);
  self->readSizes.push_back(size);
  if (oldPos > old.size() || size > old.size() - oldPos) return nullptr;
  return old.data() + oldPos;
}

}  // namespace

int spans_holder(const PatchOldSpans& spans, uint32_t oldPos, uint32_t size) {
  for (unsigned i = 0; i < HPATCH_LITE_OLD_SPANS; ++i) {
    uint64_t offset = oldPos - spans.position[i];
    if (offset < spans.length[i]) return size <= spans.length[i] - offset ? int(i) : -1;
  }
  return -1;
}

namespace {

// Whether the engine could have taken [oldPos, oldPos + size) from the spans shown.
bool spans_hold(const PatchOldSpans& spans, uint32_t oldPos, uint32_t size) {
  return spans_holder(spans, oldPos, size) >= 0;
}

const hl_byte* listener_lend_spans(PatchListener* listener, uint32_t oldPos, hl_byte* data,
                                   uint32_t size) {
  auto* self = reinterpret_cast<MemoryListener*>(listener);
  const Bytes& old = *self->oldData;
  PatchOldSpans& spans = self->spans;
  ++self->lendCalls;
  if (spans.taken != 0) ++self->lendsTheSpansHeld;  // tookOld was due first
  if (spans_hold(spans, oldPos, size)) ++self->lendsTheSpansHeld;
  self->readPositions.push_back(oldPos);
  self->readSizes.push_back(size);
  (void)data;
  if (oldPos > old.size() || size > old.size() - oldPos) return nullptr;
  auto show = [&](unsigned i, uint64_t pos, uint32_t blockSize) {
    uint64_t start = pos - pos % blockSize;
    spans.bytes[i] = old.data() + start;
    spans.position[i] = start;
    spans.length[i] = static_cast<uint32_t>(std::min<uint64_t>(blockSize, old.size() - start));
  };
  if (self->lendCalls > 1)
    show(1, self->readPositions[self->readPositions.size() - 2], 4 * self->spanSize);
  show(0, oldPos, self->spanSize);
  return old.data() + oldPos;
}

void listener_took_old(PatchListener* listener) {
  auto* self = reinterpret_cast<MemoryListener*>(listener);
  self->told.push_back(self->spans);
  self->lentBefore.push_back(self->lendCalls);
}

hl_bool listener_write_new(PatchListener* listener, const hl_byte* data, uint32_t size) {
  auto* self = reinterpret_cast<MemoryListener*>(listener);
  self->writeSizes.push_back(size);
  if (self->newData.size() + size > self->failWriteAfter) return hl_FALSE;
  self->newData.insert(self->newData.end(), data, data + size);
  return hl_TRUE;
}

hl_byte* listener_new_space(PatchListener* listener, uint32_t* size) {
  auto* self = reinterpret_cast<MemoryListener*>(listener);
  *size = 1 + static_cast<uint32_t>(self->commitSizes.size() % self->roomLimit);
  self->room.assign(*size, 0xA5);
  return self->room.data();
}

hl_bool listener_commit_new(PatchListener* listener, uint32_t size) {
  auto* self = reinterpret_cast<MemoryListener*>(listener);
  self->commitSizes.push_back(size);
  if (size > self->room.size() || self->newData.size() + size > self->failWriteAfter)
    return hl_FALSE;
  self->newData.insert(self->newData.end(), self->room.begin(), self->room.begin() + size);
  return hl_TRUE;
}

}  // namespace

MemoryListener::MemoryListener(const Bytes& oldBytes, MemoryReader& reader) : oldData(&oldBytes) {
  base.diffHandle = &reader;
  base.readDiff = MemoryReader::read;
  base.readOld = listener_read_old;
  base.writeNew = listener_write_new;
}

void MemoryListener::lend_old() { base.lendOld = listener_lend_old; }

void MemoryListener::lend_room(uint32_t limit) {
  roomLimit = limit;
  base.newSpace = listener_new_space;
  base.commitNew = listener_commit_new;
}

void MemoryListener::lend_spans(uint32_t size) {
  spanSize = size;
  base.lendOld = listener_lend_spans;
  base.oldSpans = &spans;
  base.tookOld = listener_took_old;
}

ApplyResult apply_in_memory(const Bytes& oldData, const Bytes& patch, uint32_t cacheSize,
                            uint32_t maxChunk) {
  ApplyResult result;
  MemoryReader reader(patch, maxChunk);
  MemoryListener listener(oldData, reader);
  // The header must arrive whole; only the body sees short deliveries.
  reader.maxChunk = MemoryReader::kNoLimit;
  result.opened = hpatch_lite_open(&reader, MemoryReader::read, &result.compressType,
                                   &result.newSize, &result.uncompressSize) != 0;
  reader.maxChunk = maxChunk;
  if (result.opened) {
    std::vector<hl_byte> cache(std::max<uint32_t>(cacheSize, 1));
    result.patched =
        hpatch_lite_patch(&listener.base, result.newSize, cache.data(), cacheSize) != 0;
  }
  result.newData = std::move(listener.newData);
  return result;
}

}  // namespace hl_test
