// Runs a plugin of the driver's table over an in-memory patch tail, the way the driver does.
#ifndef HL_TEST_PLUGIN_HARNESS_H
#define HL_TEST_PLUGIN_HARNESS_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "patch/decompress/plugin_table.h"
#include "tests/support/memory_io.h"
#include "tests/support/same_bytes.h"
#include "tests/support/test_data.h"

namespace hl_test {

// Record is the plugin's own record type, for cases that look inside it.
template <typename Record = hl_TPluginState>
struct PluginRun {
  const hl_TPlugin* plugin;
  MemoryReader reader;
  std::unique_ptr<hl_TPluginState> state{new hl_TPluginState()};
  Record* record = reinterpret_cast<Record*>(state.get());
  std::vector<hl_byte> block;
  uint64_t memSize = 0;
  bool sized = false;
  bool opened = false;

  PluginRun(const hl_TPlugin* p, Bytes tail, uint32_t maxChunk = MemoryReader::kNoLimit)
      : plugin(p), reader(std::move(tail), maxChunk) {
    std::memset(state.get(), 0, sizeof(hl_TPluginState));
  }
  ~PluginRun() {
    if (sized) plugin->close(state.get());
  }

  bool size(uint32_t uncompressSize) {
    sized = true;
    return plugin->size(state.get(), &reader, MemoryReader::read, uncompressSize, &memSize) != 0;
  }
  // Opens over a block of pool + cache bytes; pool defaults to the size step's figure.
  bool open(uint32_t cacheSize, uint64_t pool = UINT64_MAX) {
    if (pool == UINT64_MAX) pool = memSize;
    block.assign(size_t(pool) + cacheSize, 0xCD);
    opened = plugin->open(state.get(), block.data(), pool, cacheSize) != 0;
    return opened;
  }
  bool read(hl_byte* out, uint32_t* count) { return plugin->read(state.get(), out, count) != 0; }

  // On an opened plugin whose uncompressSize is cap: a request of 0 bytes succeeds with 0 and
  // reads no input; a request of `request` (more than cap) gets exactly the first cap bytes of
  // data; after that a request of `afterCap` bytes succeeds with 0 and reads no input either.
  void expect_zero_request_and_exhausted_cap(const Bytes& data, uint32_t cap, uint32_t request,
                                             uint32_t afterCap) {
    std::vector<hl_byte> buf(request);
    const std::size_t callsBefore = reader.calls;
    uint32_t count = 0;
    EXPECT_TRUE(read(buf.data(), &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(callsBefore, reader.calls);
    count = request;
    ASSERT_TRUE(read(buf.data(), &count));
    EXPECT_EQ(cap, count);
    EXPECT_EQ(0, std::memcmp(buf.data(), data.data(), cap));
    const std::size_t callsAfter = reader.calls;
    count = afterCap;
    EXPECT_TRUE(read(buf.data(), &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(callsAfter, reader.calls);
  }

  // Reads in requests of `request` bytes until a read fails or delivers 0; ok is false on a
  // failure.
  struct Result {
    bool ok;
    Bytes out;
  };
  Result read_all(uint32_t request, size_t limit = SIZE_MAX) {
    Result r{true, {}};
    std::vector<hl_byte> buf(request);
    while (r.out.size() < limit) {
      uint32_t count = request;
      if (!read(buf.data(), &count)) {
        r.ok = false;
        break;
      }
      if (count == 0) break;
      if (count != request && count != 0) {
        // The plugins fill every request after the cap; only the capped last one is short.
        r.out.insert(r.out.end(), buf.begin(), buf.begin() + count);
        uint32_t again = request;
        if (!read(buf.data(), &again) || again != 0) r.ok = false;
        break;
      }
      r.out.insert(r.out.end(), buf.begin(), buf.end());
    }
    return r;
  }
};

// A patch tail: the prefix bytes followed by the compressed stream.
inline Bytes tail(Bytes prefix, const Bytes& stream) {
  prefix.insert(prefix.end(), stream.begin(), stream.end());
  return prefix;
}

}  // namespace hl_test

#endif
