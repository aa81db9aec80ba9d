// Proves that a compressed patch of every type allocates nothing on the heap but the driver's one
// block, and that the block hpatchi_memory_need announces is enough and one byte less is refused.
// malloc and friends are replaced for the whole process by counting versions that forward to
// glibc's own entry points and can refuse large requests; hpatchi_patch runs over an in-memory
// listener, so no stdio buffer is created while it runs (standard output is warmed up beforehand).
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>

#include "patch/hpatchi.h"
#include "patch/hpatchi_core.h"
#include "patch/hpatchi_memory.h"
#include "tests/support/encoders.h"
#include "tests/decompress/patch_file.h"
#include "tests/support/memory_io.h"
#include "tests/support/file_io.h"
#include "tests/support/same_bytes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_data.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
bool g_counting = false;
unsigned g_allocs = 0;
unsigned g_frees = 0;
size_t g_lastSize = 0;
size_t g_largest = 0;
size_t g_refuseAbove = SIZE_MAX;  // while counting, larger requests get null

void note(size_t size) {
  if (g_counting) {
    ++g_allocs;
    g_lastSize = size;
    if (size > g_largest) g_largest = size;
  }
}
bool refused(size_t size) { return g_counting && size > g_refuseAbove; }
}  // namespace

extern "C" {
void* malloc(size_t size) {
  note(size);
  return refused(size) ? nullptr : __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
  note(n * size);
  return refused(n * size) ? nullptr : __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
  note(size);
  return refused(size) ? nullptr : __libc_realloc(p, size);
}
void* memalign(size_t align, size_t size) {
  note(size);
  return __libc_memalign(align, size);
}
void* aligned_alloc(size_t align, size_t size) {
  note(size);
  return __libc_memalign(align, size);
}
int posix_memalign(void** out, size_t align, size_t size) {
  note(size);
  *out = __libc_memalign(align, size);
  return *out ? 0 : 12;
}
void free(void* p) {
  if (g_counting && p) ++g_frees;
  __libc_free(p);
}
}

namespace {

using hl_test::Bytes;

struct MemListener {
  PatchListener base;
  Bytes* out;
  const Bytes* old;
};

hl_bool read_old(PatchListener* l, uint32_t pos, hl_byte* data, uint32_t size) {
  auto* self = reinterpret_cast<MemListener*>(l);
  if (uint64_t(pos) + size > self->old->size()) return hl_FALSE;
  std::memcpy(data, self->old->data() + pos, size);
  return hl_TRUE;
}
hl_bool write_new(PatchListener* l, const hl_byte* data, uint32_t size) {
  auto* self = reinterpret_cast<MemListener*>(l);
  self->out->insert(self->out->end(), data, data + size);
  return hl_TRUE;
}

struct Counted {
  int code;
  Bytes out;
};

// Runs hpatchi_patch on prefix + stream (the header already taken), counting the allocations and
// refusing any above refuseAbove bytes.
Counted run_counted(uint32_t type, const Bytes& tail, const Bytes& oldData, uint32_t newSize,
                    uint32_t uncompressSize, size_t refuseAbove = SIZE_MAX) {
  hl_test::MemoryReader reader(tail);
  Counted c;
  c.out.reserve(newSize);  // the test's own writer must not allocate while counting
  reader.asked.reserve(100000);
  MemListener listener{{&reader, hl_test::MemoryReader::read, read_old, write_new, nullptr, nullptr,
                        nullptr, nullptr, nullptr},
                       &c.out,
                       &oldData};
  std::fputs("", stdout);
  std::fflush(stdout);
  g_allocs = g_frees = 0;
  g_refuseAbove = refuseAbove;
  g_counting = true;
  c.code = hpatchi_patch(&listener.base, type, newSize, uncompressSize, HPATCHI_CACHE_SIZE);
  g_counting = false;
  g_refuseAbove = SIZE_MAX;
  return c;
}

void expect_one_block(uint32_t type, const Bytes& tail, const Bytes& oldData, const Bytes& newData,
                      uint32_t uncompressSize) {
  Counted c = run_counted(type, tail, oldData, uint32_t(newData.size()), uncompressSize);
  EXPECT_EQ(0, c.code) << "type " << type;
  EXPECT_TRUE(hl_test::same_bytes(newData, c.out)) << "type " << type;
  EXPECT_EQ(1u, g_allocs) << "type " << type;
  EXPECT_EQ(1u, g_frees) << "type " << type;
  EXPECT_GE(g_lastSize, size_t(HPATCHI_CACHE_SIZE))
      << "the block holds the decoder memory and the caches";
}

// The block that hpatchi_memory_need announces for the whole patch runs it; with one byte less
// the driver fails cleanly with its allocation code and writes nothing.
void expect_announced_block_suffices(uint32_t type, const Bytes& tail, const Bytes& oldData,
                                     const Bytes& newData, uint32_t uncompressSize) {
  const Bytes patch =
      hl_test::make_patch(uint8_t(type), uint32_t(newData.size()), uncompressSize, {}, tail);
  hl_test::MemoryReader reader(patch);
  hpatchi_TMemoryNeed need;
  ASSERT_EQ(HPATCHI_OK,
            hpatchi_memory_need(&reader, hl_test::MemoryReader::read, HPATCHI_CACHE_SIZE, &need));
  ASSERT_EQ(type, need.compress_type);
  const Counted fits =
      run_counted(type, tail, oldData, uint32_t(newData.size()), uncompressSize, need.total);
  EXPECT_EQ(HPATCHI_OK, fits.code) << "type " << type;
  EXPECT_TRUE(hl_test::same_bytes(newData, fits.out)) << "type " << type;
  const Counted tight =
      run_counted(type, tail, oldData, uint32_t(newData.size()), uncompressSize, need.total - 1);
  EXPECT_EQ(HPATCHI_ALLOC_ERROR, tight.code) << "type " << type;
  EXPECT_TRUE(tight.out.empty()) << "type " << type;
}

// A patch body, and for every compress type the tails (prefix and compressed body) that carry it.
struct Tails {
  Bytes oldData = hl_test::sample_data(50000, 51);
  Bytes newData;
  Bytes body;
  struct Tail {
    uint32_t type;
    Bytes bytes;
    uint32_t uncompressSize;
  };
  std::vector<Tail> all;
  Tails() {
    newData = oldData;
    for (size_t i = 0; i < newData.size(); i += 777) newData[i] ^= 0x33;
    Bytes more = hl_test::sample_data(20000, 52);
    newData.insert(newData.end(), more.begin(), more.end());
    body = hl_test::make_body(oldData, newData);
    const uint32_t bodySize = uint32_t(body.size());
    all.push_back({0, body, 0});
    all.push_back({1, hl_test::tuz_encode(body).with_dict_size(1 << 16), 0});
    for (int wb : {15, 31, -15, 9}) {
      Bytes tail{uint8_t(int8_t(wb))};
      Bytes z = hl_test::zlib_compress(body, wb);
      tail.insert(tail.end(), z.begin(), z.end());
      all.push_back({2, tail, bodySize});
    }
    auto enc = hl_test::lzma_compress(body, 1 << 16, true);
    Bytes lt{5};
    lt.insert(lt.end(), enc.props.begin(), enc.props.end());
    lt.insert(lt.end(), enc.data.begin(), enc.data.end());
    all.push_back({3, lt, bodySize});
    for (uint8_t prop : {0, 16}) {
      Bytes l2{prop};
      Bytes c = hl_test::lzma2_compress(body, prop);
      l2.insert(l2.end(), c.begin(), c.end());
      all.push_back({4, l2, bodySize});
    }
  }
};

TEST(HeapUse, OnlyTheDriversBlockForEveryType) {
  std::printf("warming up standard output\n");
  std::fflush(stdout);
  Tails t;
  for (const Tails::Tail& tail : t.all)
    expect_one_block(tail.type, tail.bytes, t.oldData, t.newData, tail.uncompressSize);
}

TEST(HeapUse, AnnouncedMemoryRunsThePatchAndOneByteLessIsRefused) {
  std::printf("warming up standard output\n");
  std::fflush(stdout);
  Tails t;
  for (const Tails::Tail& tail : t.all)
    expect_announced_block_suffices(tail.type, tail.bytes, t.oldData, t.newData,
                                    tail.uncompressSize);
}

// A whole run over files allocates the block hpatchi_run_block_size announces for them (read
// window and read-ahead included): the largest allocation of the run, stdio's records being small.
TEST(HeapUse, RunBlockIsTheOneAnnouncedForTheFiles) {
  Tails t;
  const hl_test::TempDir dir("run-block");
  hl_test::write_file(dir.file("old"), t.oldData);
  const hpatchi_TOutput silent = {nullptr, nullptr};
  for (const Tails::Tail& tail : t.all) {
    const Bytes patch = hl_test::make_patch(uint8_t(tail.type), uint32_t(t.newData.size()),
                                            tail.uncompressSize, {}, tail.bytes);
    hl_test::write_file(dir.file("patch"), patch);
    hl_test::MemoryReader reader(patch);
    hpatchi_TMemoryNeed need;
    ASSERT_EQ(HPATCHI_OK,
              hpatchi_memory_need(&reader, hl_test::MemoryReader::read, HPATCHI_CACHE_SIZE, &need));
    g_largest = 0;
    g_counting = true;
    const int code = hpatchi_run_to(&silent, dir.file("old").c_str(), dir.file("patch").c_str(),
                                    dir.file("new").c_str());
    g_counting = false;
    EXPECT_EQ(HPATCHI_OK, code) << "type " << tail.type;
    EXPECT_EQ(g_largest, hpatchi_run_block_size(&need, hl_TRUE, t.oldData.size(), patch.size()))
        << "type " << tail.type;
  }
}

// The counter itself works: a plain allocation is seen.
TEST(HeapUse, TheCounterSeesAllocations) {
  g_allocs = 0;
  g_counting = true;
  void* volatile p = malloc(123);
  g_counting = false;
  free(p);
  EXPECT_EQ(1u, g_allocs);
  EXPECT_EQ(123u, g_lastSize);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
