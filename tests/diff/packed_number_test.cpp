#include "diff/packed_number.h"

#include <gtest/gtest.h>

namespace {

using hldiff::append_cover_tag;
using hldiff::append_packed;

// The reading rule of the applier, written out independently of the writer.
uint32_t read_packed(const std::vector<uint8_t>& b, size_t& at) {
  uint32_t v = 0;
  for (;;) {
    uint8_t x = b.at(at++);
    v = (v << 7) | (x & 0x7F);
    if (!(x & 0x80)) return v;
  }
}

struct Tag {
  bool plain, backward;
  uint32_t step;
};

Tag read_tag(const std::vector<uint8_t>& b, size_t& at) {
  uint8_t t = b.at(at++);
  Tag tag{(t & 0x80) != 0, (t & 0x40) != 0, uint32_t(t & 0x1F)};
  if (t & 0x20) {
    for (;;) {
      uint8_t x = b.at(at++);
      tag.step = (tag.step << 7) | (x & 0x7F);
      if (!(x & 0x80)) break;
    }
  }
  return tag;
}

TEST(PackedNumber, MatchesTheDocumentedExamples) {
  std::vector<uint8_t> b;
  append_packed(b, 5);
  append_packed(b, 128);
  append_packed(b, 300);
  EXPECT_EQ(b, (std::vector<uint8_t>{0x05, 0x81, 0x00, 0x82, 0x2C}));
}

TEST(PackedNumber, RoundTripsAtEveryGroupBoundary) {
  const uint32_t values[] = {0,       1,       127,        128,        16383,       16384,
                             2097151, 2097152, 268435455u, 268435456u, 0x7FFFFFFFu, 0xFFFFFFFFu};
  for (uint32_t v : values) {
    std::vector<uint8_t> b;
    append_packed(b, v);
    size_t at = 0;
    EXPECT_EQ(read_packed(b, at), v);
    EXPECT_EQ(at, b.size()) << v;
  }
  std::vector<uint8_t> b;
  append_packed(b, 127);
  EXPECT_EQ(b.size(), 1u);
  append_packed(b, 0xFFFFFFFFu);
  EXPECT_EQ(b.size(), 6u);  // five bytes carry 32 bits
}

TEST(CoverTag, MatchesTheDocumentedExamples) {
  std::vector<uint8_t> b;
  append_cover_tag(b, false, false, 5);
  append_cover_tag(b, true, true, 3);
  append_cover_tag(b, false, false, 128);
  EXPECT_EQ(b, (std::vector<uint8_t>{0x05, 0xC3, 0x21, 0x00}));
}

TEST(CoverTag, RoundTripsFlagsAndSteps) {
  const uint32_t steps[] = {0, 31, 32, 127, 128, 4095, 4096, 524287, 524288, 0xFFFFFFFFu};
  for (uint32_t s : steps) {
    for (int flags = 0; flags < 4; ++flags) {
      std::vector<uint8_t> b;
      append_cover_tag(b, flags & 1, flags & 2, s);
      size_t at = 0;
      Tag t = read_tag(b, at);
      EXPECT_EQ(at, b.size());
      EXPECT_EQ(t.step, s);
      EXPECT_EQ(t.plain, (flags & 1) != 0);
      EXPECT_EQ(t.backward, (flags & 2) != 0);
    }
  }
  std::vector<uint8_t> b;
  append_cover_tag(b, false, false, 31);
  EXPECT_EQ(b.size(), 1u);  // fits the tag itself
}

}  // namespace
