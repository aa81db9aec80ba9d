// The memory line of a patch, read from its header and prefix without allocating. That the block
// it announces runs the patch, and one byte less does not, is proven with the driver's allocation
// refused (tests/decompress/alloc_count_test.cpp).
#include <gtest/gtest.h>

#include "patch/hpatchi.h"
#include "patch/hpatchi_memory.h"
#include "tests/support/memory_io.h"
#include "tests/support/patch_writer.h"

namespace {

using hl_test::Bytes;

// A header for compress_type `type` followed by the decompressor prefix `prefix`.
Bytes PatchStart(uint8_t type, const Bytes& prefix, uint32_t newSize = 1000) {
  hl_test::HeaderFields fields;
  fields.compressType = type;
  fields.newSize = newSize;
  fields.uncompressSize = type == 0 ? 0 : 500;
  fields.uncompressSizeWidth = type == 0 ? 0 : 4;
  Bytes patch = hl_test::make_header(fields);
  patch.insert(patch.end(), prefix.begin(), prefix.end());
  return patch;
}

int Need(const Bytes& patch, hpatchi_TMemoryNeed& need) {
  hl_test::MemoryReader reader(patch);
  return hpatchi_memory_need(&reader, hl_test::MemoryReader::read, HPATCHI_CACHE_SIZE, &need);
}

TEST(MemoryNeed, IsTheDriversBlockForEachDecompressor) {
  hpatchi_TMemoryNeed need;
  ASSERT_EQ(Need(PatchStart(0, {}, 123456), need), HPATCHI_OK);
  EXPECT_EQ(need.newSize, 123456u);
  EXPECT_EQ(need.mustSize, 0u);
  // The header's end, where a run handed this need goes on reading.
  EXPECT_EQ(need.headerSize, PatchStart(0, {}, 123456).size());
  EXPECT_EQ(need.uncompressSize, 0u);

  // tuz: the dictionary as declared, 2^30 at most.
  ASSERT_EQ(Need(PatchStart(1, {0x00, 0x00, 0x00, 0x40}), need), HPATCHI_OK);
  EXPECT_EQ(need.mustSize, uint64_t(1) << 30);
  EXPECT_EQ(need.headerSize, PatchStart(1, {}).size());
  EXPECT_EQ(need.uncompressSize, 500u);
  EXPECT_EQ(Need(PatchStart(1, {0x01, 0x00, 0x00, 0x40}), need), HPATCHI_DECOMPRESSER_INFO_ERROR);
  EXPECT_EQ(Need(PatchStart(1, {0x00, 0x00, 0x00, 0x00}), need), HPATCHI_DECOMPRESSER_INFO_ERROR);

  // zlib: a 2^15 window and the inflater's state.
  ASSERT_EQ(Need(PatchStart(2, {15}), need), HPATCHI_OK);
  EXPECT_GT(need.mustSize, uint64_t(1) << 15);
  EXPECT_LT(need.mustSize, uint64_t(1) << 17);
  EXPECT_EQ(Need(PatchStart(2, {3}), need), HPATCHI_DECOMPRESSER_INFO_ERROR);

  // lzma2: dictionary property 40 reserves 4 GiB.
  ASSERT_EQ(Need(PatchStart(4, {40}), need), HPATCHI_OK);
  EXPECT_GE(need.total, uint64_t(0xFFFFFFFFu));
  ASSERT_EQ(Need(PatchStart(4, {0}), need), HPATCHI_OK);
  EXPECT_LT(need.total, uint64_t(64) << 20);
}

TEST(MemoryNeed, RefusesWhatTheDriverRefusesBeforeAllocating) {
  hpatchi_TMemoryNeed need;
  EXPECT_EQ(Need(Bytes{'h', 'I'}, need), HPATCHI_HEADER_ERROR);
  EXPECT_EQ(Need(Bytes{}, need), HPATCHI_HEADER_ERROR);
  EXPECT_EQ(Need(PatchStart(9, {}), need), HPATCHI_COMPRESS_TYPE_ERROR);
  EXPECT_EQ(Need(PatchStart(3, {}), need), HPATCHI_DECOMPRESSER_INFO_ERROR);  // no lzma properties
}

}  // namespace
