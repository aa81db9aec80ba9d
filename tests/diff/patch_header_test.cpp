#include "diff/patch_header.h"

#include <gtest/gtest.h>

namespace {

using hldiff::CompressType;
using hldiff::write_patch_header;
using V = std::vector<uint8_t>;

TEST(PatchHeader, ZeroSizesTakeNoBytes) {
  EXPECT_EQ(write_patch_header(CompressType::None, 0, 0), (V{0x68, 0x49, 0x00, 0x40}));
}

TEST(PatchHeader, SizesUseTheFewestLittleEndianBytes) {
  EXPECT_EQ(write_patch_header(CompressType::None, 11, 0), (V{0x68, 0x49, 0x00, 0x41, 0x0B}));
  EXPECT_EQ(write_patch_header(CompressType::Lzma2, 0x100, 0xFF),
            (V{0x68, 0x49, 0x04, 0x40 | (1 << 3) | 2, 0x00, 0x01, 0xFF}));
  EXPECT_EQ(
      write_patch_header(CompressType::Tuz, 0xFFFFFFFFu, 0x01000000u),
      (V{0x68, 0x49, 0x01, 0x40 | (4 << 3) | 4, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(write_patch_header(CompressType::Zlib, 0x00FFFFFFu, 0)[3], 0x43);
}

}  // namespace
