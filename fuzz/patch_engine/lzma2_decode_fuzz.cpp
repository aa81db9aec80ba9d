// The LZMA2 plugin (our chunk decoder over LzmaDec) against liblzma's raw LZMA2 decoder on the
// same stream. A stream that liblzma finds complete must come out of the plugin byte for byte,
// and not one byte more; any other stream must fail in the plugin too, and whatever the plugin
// delivered before failing must be what liblzma delivered. For smaller outputs the chunk decoder
// on its own, one byte at a time, must make exactly liblzma's bytes up to the end or the error
// (short of them only where it ran out of packed bytes inside a chunk).
//
// Input: u8 mode, u8 dictProp (folded to at most 1 MiB), u16 cacheSize (0 is taken as 1),
// u16 maxRequest, u32 seed, then the payload. Mode bit 0 clear: the payload is the LZMA2 stream.
// Set: the payload is data that liblzma encodes (preset mode >> 4), and the seed picks up to
// (mode >> 1) & 7 bytes of the encoding to change, so that mutations reach deep into valid
// chunks.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "fuzz/common/fuzz_input.h"
#include "patch/decompress/lzma2_plugin.h"
#include "tests/support/encoders.h"
#include "tests/support/memory_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kDictPropCap = 16;         // 1 MiB
constexpr size_t kOutCap = size_t(1) << 18;  // what liblzma may deliver
constexpr size_t kStepwiseCap = size_t(1) << 16;
constexpr uint32_t kMaxCalls = 20000;  // requests grow with the output to stay below

struct PluginResult {
  bool ok = true;
  Bytes out;
};

// Reads uncompressSize bytes through the plugin in requests of random sizes, each into a buffer
// of exactly its size so that overruns are caught. ok is false when a read failed.
PluginResult run_plugin(uint8_t dictProp, const Bytes& stream, uint32_t uncompressSize,
                        uint32_t cacheSize, uint32_t maxRequest, uint32_t seed) {
  Bytes tail(1 + stream.size());
  tail[0] = dictProp;
  std::copy(stream.begin(), stream.end(), tail.begin() + 1);
  hl_test::MemoryReader reader(std::move(tail));
  _lzma2_TStream record;
  uint64_t memSize = 0;
  PluginResult r;
  if (!_lzma2_TStream_getReservedMemSize(&record, &reader, hl_test::MemoryReader::read,
                                         uncompressSize, &memSize))
    abort();
  std::unique_ptr<hl_byte[]> block(new hl_byte[memSize + cacheSize]);
  if (!_lzma2_TStream_open(&record, block.get(), memSize, cacheSize)) abort();
  std::minstd_rand rng(seed);
  const uint32_t least = uncompressSize / kMaxCalls + 1;
  while (r.out.size() < uncompressSize) {
    const uint32_t want = least + uint32_t(rng() % (maxRequest + 1u));
    std::unique_ptr<hl_byte[]> buf(new hl_byte[want]);
    uint32_t count = want;
    if (!_lzma2_TStream_read(&record, buf.get(), &count)) {
      r.ok = false;
      break;
    }
    if (count > want) abort();
    r.out.insert(r.out.end(), buf.get(), buf.get() + count);
    if (count < want && r.out.size() != uncompressSize) abort();  // short only at the cap
  }
  _lzma2_TStream_close(&record);
  return r;
}

bool is_prefix(const Bytes& part, const Bytes& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr_fuzz::FuzzInput in(data, size);
  const uint8_t mode = in.u8();
  const uint8_t dictProp = in.u8() % (kDictPropCap + 1);
  uint32_t cacheSize = in.u16();
  if (cacheSize == 0) cacheSize = 1;
  const uint32_t maxRequest = in.u16();
  const uint32_t seed = in.u32();
  Bytes stream = in.rest();

  if (mode & 1) {
    if (stream.size() > kOutCap) return 0;
    stream = hl_test::lzma2_compress(stream, dictProp, (mode >> 4) % 10);
    std::minstd_rand rng(seed ^ 0x5bd1e995u);
    for (unsigned i = 0; i < ((mode >> 1) & 7u) && !stream.empty(); ++i)
      stream[rng() % stream.size()] ^= uint8_t(1 + rng() % 255);
  }

  const hl_test::Lzma2Reference ref = hl_test::lzma2_reference_decode(stream, dictProp, kOutCap);
  const bool capped = ref.out.size() >= kOutCap;
  if (capped) {
    PluginResult r = run_plugin(dictProp, stream, uint32_t(kOutCap), cacheSize, maxRequest, seed);
    if (!is_prefix(r.out, ref.out)) abort();
    return 0;
  }
  const uint32_t refSize = uint32_t(ref.out.size());
  if (refSize <= kStepwiseCap) {
    const hl_test::Lzma2Stepwise own =
        hl_test::lzma2_decode_stepwise(dictProp, stream, refSize + 1);
    if (own.complete != ref.complete) abort();
    if (own.starved ? !is_prefix(own.out, ref.out) : own.out != ref.out) abort();
  }
  if (ref.complete) {
    PluginResult r = run_plugin(dictProp, stream, refSize, cacheSize, maxRequest, seed);
    if (!r.ok || r.out != ref.out) abort();
  }
  PluginResult over = run_plugin(dictProp, stream, refSize + 1, cacheSize, maxRequest, seed);
  if (over.ok || !is_prefix(over.out, ref.out)) abort();
  return 0;
}
