// mkpatch's check of a written patch.
#include "tools/mkpatch/verify.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "diff/patch_maker.h"
#include "tests/support/file_io.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_data.h"

namespace {

namespace fs = std::filesystem;

size_t files_in(const fs::path& dir) {
  size_t n = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    (void)e;
    ++n;
  }
  return n;
}

// A program-like pair: OLD and the default patch to NEW written as "old" and "patch" in `dir`.
hl_test::ProgramPair WritePairAndPatch(const hl_test::TempDir& dir, std::size_t size,
                                       uint32_t seed) {
  hl_test::ProgramPair p = hl_test::program_like_pair(size, seed);
  hl_test::write_file(dir.file("old"), p.old);
  hldiff::MakeOptions opt;
  hl_test::write_file(dir.file("patch"), hldiff::make_patch(p.old.data(), p.old.size(),
                                                            p.neu.data(), p.neu.size(), opt));
  return p;
}

TEST(VerifyPatch, AcceptsAPatchThatGivesNewAndRejectsOneThatDoesNot) {
  hl_test::TempDir dir;
  const hl_test::ProgramPair p = WritePairAndPatch(dir, 50000, 8);
  std::string why;
  EXPECT_TRUE(mkpatch::verify_patch(dir.file("old"), dir.file("patch"), p.neu, why)) << why;

  hl_test::Bytes other = p.neu;
  other[other.size() / 2] ^= 1;
  EXPECT_FALSE(mkpatch::verify_patch(dir.file("old"), dir.file("patch"), other, why));
  EXPECT_EQ(why, "applying it does not give NEW");
  other = p.neu;
  other.push_back(0);  // one byte longer
  EXPECT_FALSE(mkpatch::verify_patch(dir.file("old"), dir.file("patch"), other, why));

  // A damaged patch fails in the driver.
  hl_test::Bytes patch = hl_test::read_file(dir.file("patch"));
  patch.resize(patch.size() / 2);
  hl_test::write_file(dir.file("patch"), patch);
  EXPECT_FALSE(mkpatch::verify_patch(dir.file("old"), dir.file("patch"), p.neu, why));
  EXPECT_EQ(why.rfind("applying it failed with result ", 0), 0u) << why;

  EXPECT_EQ(files_in(dir.file("")), 2u) << "the applied copy is always removed";
}

// NEW read back from its file, compared block by block: a difference anywhere, in the length
// too, is found, also past the first block and at a block's edge.
TEST(VerifyPatch, ComparesWithNewReadBackFromItsFile) {
  hl_test::TempDir dir;
  const hl_test::ProgramPair p = WritePairAndPatch(dir, 200000, 9);
  std::string why;
  hl_test::write_file(dir.file("new"), p.neu);
  EXPECT_TRUE(mkpatch::verify_patch(dir.file("old"), dir.file("patch"), dir.file("new"), why))
      << why;

  for (size_t at : {size_t(0), size_t(65535), size_t(65536), p.neu.size() - 1}) {
    hl_test::Bytes other = p.neu;
    other[at] ^= 0x80;
    hl_test::write_file(dir.file("new"), other);
    EXPECT_FALSE(mkpatch::verify_patch(dir.file("old"), dir.file("patch"), dir.file("new"), why))
        << at;
    EXPECT_EQ(why, "applying it does not give NEW");
  }
  for (size_t length : {p.neu.size() - 1, p.neu.size() + 1, size_t(65536), size_t(131072)}) {
    hl_test::Bytes other = p.neu;
    other.resize(length, 0);
    hl_test::write_file(dir.file("new"), other);
    EXPECT_FALSE(mkpatch::verify_patch(dir.file("old"), dir.file("patch"), dir.file("new"), why))
        << length;
  }
  EXPECT_FALSE(mkpatch::verify_patch(dir.file("old"), dir.file("patch"), dir.file("missing"), why));
  EXPECT_EQ(files_in(dir.file("")), 3u) << "the applied copy is always removed";
}

}  // namespace
