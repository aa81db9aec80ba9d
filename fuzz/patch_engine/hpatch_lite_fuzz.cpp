// hpatch_lite_open and hpatch_lite_patch over in-memory data, with a body reader whose short
// deliveries, end-of-data answer and the patch cache size are all chosen by the input. The result
// must agree with the whole-buffer model: same header, same success, same new bytes.
//
// Input: u16 cacheSize, u8 maxChunk (0: unlimited), u8 flags (bit 0: the reader answers false at
// the end; bit 1: old bytes are lent and shown as spans of the old data), u16 oldSize, the old
// bytes, then the patch file (header and raw body).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/common/fuzz_input.h"
#include "fuzz/common/patch_model.h"
#include "patch/hpatch_lite.h"
#include "tests/support/memory_reader.h"

namespace {

constexpr size_t kOutCap = size_t(4) << 20;

struct Listener {
  PatchListener base;  // first: the engine hands this record back
  const std::vector<uint8_t>* old;
  std::vector<uint8_t> out;

  static hl_bool readOld(PatchListener* l, uint32_t pos, hl_byte* data, uint32_t size) {
    auto* self = reinterpret_cast<Listener*>(l);
    if (static_cast<uint64_t>(pos) + size > self->old->size()) return hl_FALSE;
    if (size > 0) std::memcpy(data, self->old->data() + pos, size);
    return hl_TRUE;
  }
  // Lends the old data's own bytes; the spans then show the 64-byte block around this range and
  // the 256-byte block around the range lent before.
  PatchOldSpans spans{};
  uint32_t lastLent = 0;
  static const hl_byte* lendOld(PatchListener* l, uint32_t pos, hl_byte* data, uint32_t size) {
    auto* self = reinterpret_cast<Listener*>(l);
    if (self->spans.taken != 0) abort();  // the engine tells of taken ranges before a lend
    if (!readOld(l, pos, data, size)) return nullptr;
    const std::vector<uint8_t>& old = *self->old;
    auto show = [&](unsigned i, uint64_t at, uint32_t block) {
      uint64_t start = at - at % block;
      self->spans.bytes[i] = old.data() + start;
      self->spans.position[i] = start;
      self->spans.length[i] =
          start < old.size() ? uint32_t(std::min<uint64_t>(block, old.size() - start)) : 0;
    };
    show(1, self->lastLent, 256);
    show(0, pos, 64);
    self->lastLent = pos;
    return old.data() + pos;
  }
  static void tookOld(PatchListener* l) {
    auto* self = reinterpret_cast<Listener*>(l);
    if (self->spans.taken == 0) abort();
    for (uint32_t last : self->spans.lastTaken) {
      if (last > self->spans.taken) abort();
    }
  }
  static hl_bool writeNew(PatchListener* l, const hl_byte* data, uint32_t size) {
    auto* self = reinterpret_cast<Listener*>(l);
    if (self->out.size() + size > kOutCap) return hl_FALSE;
    self->out.insert(self->out.end(), data, data + size);
    return hl_TRUE;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr_fuzz::FuzzInput in(data, size);
  const uint32_t cacheSize = in.u16();
  const uint32_t maxChunk = in.u8();
  const uint8_t flags = in.u8();
  const std::vector<uint8_t> old = in.bytes(in.u16());
  const std::vector<uint8_t> patch = in.rest();
  const bool falseAtEnd = (flags & 1) != 0;

  hl_test::MemoryReader reader(patch);  // the header is read whole; maxChunk applies to the body
  reader.failAtEnd = falseAtEnd;
  uint32_t compressType = 0xDEAD, newSize = 0xDEAD, uncompressSize = 0xDEAD;
  const bool opened = hpatch_lite_open(&reader, &hl_test::MemoryReader::read, &compressType,
                                       &newSize, &uncompressSize) != 0;
  const qr_fuzz::ModelHeader header = qr_fuzz::model_header(patch, falseAtEnd);
  if (opened != header.ok) abort();
  if (!opened) return 0;
  if (compressType != header.compressType || newSize != header.newSize ||
      uncompressSize != header.uncompressSize || reader.pos != header.length)
    abort();

  // Exactly cacheSize bytes, so that any access outside the two halves is caught.
  hl_byte* cache = static_cast<hl_byte*>(malloc(cacheSize == 0 ? 1 : cacheSize));
  Listener listener{};
  listener.base.diffHandle = &reader;
  listener.base.readDiff = &hl_test::MemoryReader::read;
  listener.base.readOld = &Listener::readOld;
  listener.base.writeNew = &Listener::writeNew;
  listener.old = &old;
  if (flags & 2) {
    listener.base.lendOld = &Listener::lendOld;
    listener.base.oldSpans = &listener.spans;
    listener.base.tookOld = &Listener::tookOld;
  }
  reader.maxChunk = maxChunk == 0 ? hl_test::MemoryReader::kNoLimit : maxChunk;
  const bool patched = hpatch_lite_patch(&listener.base, newSize, cache, cacheSize) != 0;
  free(cache);
  if (listener.spans.taken != 0) abort();  // told of every range by the end

  const qr_fuzz::ModelResult model = qr_fuzz::model_apply(
      old, patch.data() + header.length, patch.size() - header.length, newSize, cacheSize, kOutCap);
  if (patched != model.ok) abort();
  if (patched && listener.out != model.newData) abort();
  return 0;
}
