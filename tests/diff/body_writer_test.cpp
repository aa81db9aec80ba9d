#include "diff/body_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "diff/patch_header.h"
#include "tests/support/test_data.h"

namespace {

using hl_test::Bytes;
using hldiff::BodyOptions;
using hldiff::Cover;
using hldiff::write_body;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(BodyWriter, WritesTheDocumentedExample) {
  Bytes old = bytes_of("0123456789");
  Bytes neu = bytes_of("ab2345Z789!");
  std::vector<Cover> covers{{2, 2, 4}, {6, 7, 3}};
  Bytes body = write_body(old.data(), old.size(), neu.data(), neu.size(), covers, BodyOptions{});
  Bytes expected{0x03, 0x04, 0x82, 0x02, 0x61, 0x62, 0x03, 0x00, 0x01,
                 0x5A, 0x01, 0x01, 0x01, 0x00, 0x00, 0x01, 0x21};
  EXPECT_EQ(body, expected);
}

TEST(BodyWriter, EmptyNewHasNoCovers) {
  Bytes old = bytes_of("abc");
  Bytes body = write_body(old.data(), old.size(), nullptr, 0, {}, BodyOptions{});
  EXPECT_EQ(body, Bytes{0x00});
}

TEST(BodyWriter, NewWithoutCoversIsOneFinalLiteralRun) {
  Bytes neu = bytes_of("xyz");
  Bytes body = write_body(nullptr, 0, neu.data(), neu.size(), {}, BodyOptions{});
  EXPECT_EQ(body, (Bytes{0x01, 0x00, 0x00, 0x03, 'x', 'y', 'z'}));
}

TEST(BodyWriter, StepsBackwardWhenTheCoverLiesBehind) {
  Bytes old = bytes_of("ABCDEFGHIJ");
  Bytes neu = bytes_of("HIJABC");
  std::vector<Cover> covers{{7, 0, 3}, {0, 3, 3}};
  Bytes body = write_body(old.data(), old.size(), neu.data(), neu.size(), covers, BodyOptions{});
  // second cover: after the first the old position is 10; 0 is 10 back
  EXPECT_EQ(body, (Bytes{0x02, 0x03, 0x87, 0x00, 0x03, 0xCA, 0x00}));
}

TEST(BodyWriter, SplitsLongUnchangedRunsIntoPlainCopies) {
  Bytes old(100, 'a');
  Bytes neu = old;
  neu[10] = 'b';
  neu[90] = 'c';
  std::vector<Cover> covers{{0, 0, 100}};
  BodyOptions opt;
  opt.plainRunMin = 20;
  Bytes body = write_body(old.data(), old.size(), neu.data(), neu.size(), covers, opt);
  // pieces: diff [0,11), plain [11,90), diff [90,100)
  Bytes expected{0x03, 0x0B, 0x00, 0x00};
  expected.insert(expected.end(), 10, 0);
  expected.push_back(1);
  expected.insert(expected.end(), {0x4F, 0x80, 0x00});
  expected.insert(expected.end(), {0x0A, 0x00, 0x00, 0x02});
  expected.insert(expected.end(), 9, 0);
  EXPECT_EQ(body, expected);

  opt.plainRunMin = 0;  // kept whole: one cover with 100 difference bytes
  body = write_body(old.data(), old.size(), neu.data(), neu.size(), covers, opt);
  EXPECT_EQ(body.size(), 1 + 1 + 1 + 1 + 100u);
}

TEST(BodyWriter, PadsWhenTheLastRefillWouldSlowPlainCopies) {
  Bytes old(1 << 20, 7);
  std::vector<Cover> covers{{0, 0, old.size()}};
  BodyOptions opt;
  opt.readBlock = 4096;
  opt.padCallLimit = 64;
  Bytes body = write_body(old.data(), old.size(), old.data(), old.size(), covers, opt);
  EXPECT_EQ(body.size(), 4096u);
  EXPECT_EQ(body[0], 0x01);
  opt.padCallLimit = 1 << 20;  // 1 MiB in steps of 6 bytes stays below this many calls
  body = write_body(old.data(), old.size(), old.data(), old.size(), covers, opt);
  EXPECT_EQ(body.size(), 6u);
  opt.readBlock = 0;
  body = write_body(old.data(), old.size(), old.data(), old.size(), covers, opt);
  EXPECT_EQ(body.size(), 1 + 3 + 1 + 1u);
}

TEST(BodyWriter, RefusesCoversOutsideTheFiles) {
  Bytes old(10, 1), neu(10, 1);
  EXPECT_THROW(
      write_body(old.data(), old.size(), neu.data(), neu.size(), {{5, 0, 6}}, BodyOptions{}),
      std::logic_error);
  EXPECT_THROW(write_body(old.data(), old.size(), neu.data(), neu.size(), {{0, 4, 3}, {0, 5, 3}},
                          BodyOptions{}),
               std::logic_error);
}

}  // namespace
