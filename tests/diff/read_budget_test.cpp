// The read budget: the replayed window counts the loads of the applier's real one, the pass
// keeps a far-jumping pair within its budget, and whatever it moves or drops, the patch still
// gives NEW back.
#include "diff/read_budget.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "diff/patch_maker.h"
#include "diff/read_window_model.h"
#include "patch/file_stream.h"
#include "patch/hpatch_lite_format.h"
#include "patch/hl_result.h"
#include "tests/support/file_io.h"
#include "tests/support/memory_io.h"
#include "tests/support/process_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_data.h"

namespace {

using hl_test::Bytes;
using hldiff::Compression;
using hldiff::Cover;

// The applier's old-file read step under a coder.
const size_t kReadStep = hpatchi_body_refill_size(HPATCHI_CACHE_SIZE, true);

// The applier's real window over a file of the given bytes, in the memory the driver gives it.
struct RealWindow {
  hl_test::TempDir dir;
  std::vector<uint64_t> memory;
  TFileInStream stream{};
  explicit RealWindow(const Bytes& data) {
    hl_test::write_file(dir.file("old"), data);
    EXPECT_TRUE(file_in_stream_open(&stream, dir.file("old").c_str()));
    memory.resize(file_in_stream_window_size(&stream) / 8);
    file_in_stream_set_window(&stream, reinterpret_cast<hl_byte*>(memory.data()));
  }
  ~RealWindow() { file_stream_close(&stream.base); }
  bool read(uint64_t position, size_t size, Bytes& out) {
    out.resize(size);
    return file_in_stream_read(&stream.base.head, position, out.data(), out.data() + size) != 0;
  }
};

// OLD of random bytes, and NEW made of long stretches of OLD read front to back, each followed
// by a short piece copied from anywhere in OLD: every piece is a cover that jumps far.
hl_test::ProgramPair far_jumping_pair(size_t oldSize, size_t stretches, uint32_t seed) {
  hl_test::ProgramPair p;
  p.old = hl_test::random_bytes(oldSize, seed);
  std::mt19937 rng(seed);
  size_t cursor = 0;
  for (size_t k = 0; k < stretches; ++k) {
    const size_t stretch = 1500 + rng() % 1000;
    if (cursor + stretch > oldSize) cursor = 0;
    p.neu.insert(p.neu.end(), p.old.begin() + cursor, p.old.begin() + cursor + stretch);
    cursor += stretch;
    const size_t piece = 20 + rng() % 20, from = rng() % (oldSize - piece);
    p.neu.insert(p.neu.end(), p.old.begin() + from, p.old.begin() + from + piece);
  }
  return p;
}

std::vector<Cover> searched_covers(const hl_test::ProgramPair& p,
                                   const hldiff::SuffixIndex& index) {
  return hldiff::find_covers(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), index);
}

uint64_t loads_of(const std::vector<Cover>& covers, const hl_test::ProgramPair& p) {
  hldiff::ReadBudget reads;
  reads.readStep = kReadStep;
  return hldiff::count_window_loads(p.old.data(), p.neu.data(), p.old.size(), covers, reads);
}

uint64_t limit_for(const hldiff::ReadBudget& b, size_t newSize) {
  return std::max<uint64_t>(b.minLoads, static_cast<uint64_t>(b.loadsPerMiB * newSize / 1048576.0));
}

// Applies an uncompressed patch in memory; the applier's old-file reads are in listener.
struct Applied {
  Bytes old;
  hl_test::MemoryReader reader;
  hl_test::MemoryListener listener;
  bool ok = false;
  Applied(const Bytes& oldBytes, const Bytes& patch)
      : old(oldBytes), reader(patch), listener(old, reader) {
    uint32_t type = 0, newSize = 0, uncompressSize = 0;
    std::vector<hl_byte> cache(32768);  // the driver's patch cache for a raw body
    ok = hpatch_lite_open(&reader, hl_test::MemoryReader::read, &type, &newSize, &uncompressSize) &&
         hpatch_lite_patch(&listener.base, newSize, cache.data(),
                           static_cast<uint32_t>(cache.size()));
  }
};

Bytes make(const hl_test::ProgramPair& p, Compression c) {
  hldiff::MakeOptions options;
  options.encode.compression = c;
  return hldiff::make_patch(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), options);
}

}  // namespace

// A large file, and small ones whose window is smaller (shorter run blocks, fewer ways).
class ReadWindowModelSized : public ::testing::TestWithParam<size_t> {};

TEST_P(ReadWindowModelSized, CountsTheLoadsOfTheRealWindowReadForRead) {
  const Bytes data = hl_test::random_bytes(GetParam(), 5);
  RealWindow real(data);
  hldiff::ReadWindowModel model(data.size());
  std::mt19937 rng(9);
  uint64_t position = 0;
  Bytes got;
  for (int k = 0; k < 20000; ++k) {
    // Runs that go on, short jumps near and far, long reads, and reads at the end of the file.
    size_t size = 1 + rng() % 40;
    switch (rng() % 6) {
      case 0:
        position = rng() % data.size();
        break;
      case 1:
        position = position > 5000 ? position - rng() % 5000 : 0;
        break;
      case 2:
        size = 1 + rng() % 70000;
        break;
      case 3:
        position = data.size() - std::min<uint64_t>(data.size(), 1 + rng() % 600);
        break;
      default:
        break;  // goes on where the last read ended
    }
    position = std::min<uint64_t>(position, data.size() - 1);
    size = static_cast<size_t>(std::min<uint64_t>(size, data.size() - position));
    const bool held = model.holds(position, size);
    const unsigned loads = model.read(position, size);
    ASSERT_TRUE(real.read(position, size, got));
    ASSERT_EQ(0, std::memcmp(got.data(), data.data() + position, size));
    ASSERT_EQ(model.loads(), real.stream.window.loads) << "read " << k;
    ASSERT_EQ(held, loads == 0) << "read " << k;
    position += size;
    if (position >= data.size()) position = 0;
  }
}

INSTANTIATE_TEST_SUITE_P(FileSizes, ReadWindowModelSized,
                         ::testing::Values(3 * FILE_IN_WINDOW_RUN_SIZE + 1000, 700, 90000,
                                           FILE_IN_WINDOW_RUN_SIZE + 3000));

TEST(ReadWindowModel, HoldsOnlyWhatAReadWouldFindWithoutALoad) {
  hldiff::ReadWindowModel model(4 * FILE_IN_WINDOW_RUN_SIZE);
  EXPECT_FALSE(model.holds(100, 10));
  EXPECT_EQ(model.read(100, 10), 1u);  // a short jump: one piece
  EXPECT_TRUE(model.holds(0, FILE_IN_WINDOW_PIECE_SIZE));
  EXPECT_FALSE(model.holds(0, FILE_IN_WINDOW_PIECE_SIZE + 1));
  EXPECT_EQ(model.read(2 * FILE_IN_WINDOW_RUN_SIZE, 4096), 1u);  // a long one: a run block
  EXPECT_TRUE(model.holds(2 * FILE_IN_WINDOW_RUN_SIZE, FILE_IN_WINDOW_RUN_START));
  EXPECT_EQ(model.read(2 * FILE_IN_WINDOW_RUN_SIZE + 8, 64), 0u);
  EXPECT_TRUE(model.holds(0, 0));
}

TEST(ReadBudget, LeavesCoversAloneWithinTheBudget) {
  hl_test::ProgramPair p = hl_test::program_like_pair(1 << 18, 4);
  hldiff::SuffixIndex index(p.old.data(), p.old.size());
  const std::vector<Cover> covers = searched_covers(p, index);
  ASSERT_LE(loads_of(covers, p), hldiff::ReadBudget{}.minLoads);
  const std::vector<Cover> fitted = hldiff::fit_read_budget(
      p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), covers, &index, hldiff::CoverCosts{});
  ASSERT_EQ(fitted.size(), covers.size());
  for (size_t k = 0; k < covers.size(); ++k) {
    EXPECT_EQ(fitted[k].oldPos, covers[k].oldPos);
    EXPECT_EQ(fitted[k].newPos, covers[k].newPos);
    EXPECT_EQ(fitted[k].length, covers[k].length);
  }
}

TEST(ReadBudget, AFarJumpingPairMeetsItsBudgetAndKeepsTheLongStretches) {
  hl_test::ProgramPair p = far_jumping_pair(4 << 20, 2500, 21);
  hldiff::SuffixIndex index(p.old.data(), p.old.size());
  const std::vector<Cover> covers = searched_covers(p, index);
  hldiff::ReadBudget budget;
  budget.readStep = kReadStep;
  const uint64_t limit = limit_for(budget, p.neu.size());
  ASSERT_GT(loads_of(covers, p), 4 * limit) << "the pair must jump far and often";
  const std::vector<Cover> fitted =
      hldiff::fit_read_budget(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), covers,
                              &index, hldiff::CoverCosts{}, budget);
  EXPECT_LE(loads_of(fitted, p), limit);
  size_t before = 0, after = 0, newEnd = 0;
  for (const Cover& c : covers) before += c.length;
  for (const Cover& c : fitted) {
    ASSERT_GE(c.newPos, newEnd);
    ASSERT_LE(c.oldPos + c.length, p.old.size());
    ASSERT_EQ(0, std::memcmp(p.old.data() + c.oldPos, p.neu.data() + c.newPos, c.length))
        << "the pair's covers agree byte for byte";
    newEnd = c.newPos + c.length;
    after += c.length;
  }
  // Only the short far pieces go: the stretches, over 98% of NEW, stay covered.
  EXPECT_GT(static_cast<double>(after), 0.97 * static_cast<double>(before));
}

TEST(ReadBudget, AMissingCoverMovesToAHeldCopyOfItsBytes) {
  // Each far piece of NEW is one of a few tokens that OLD holds at many places, near every
  // stretch among them: the pass can move every piece next to its stretch and drop none. Each
  // copy in OLD has an odd byte on either side and each token in NEW an even one, so that the
  // covers of the tokens are the tokens alone and any copy will do.
  hl_test::ProgramPair p;
  p.old = hl_test::random_bytes(4 << 20, 33);
  std::mt19937 rng(3);
  Bytes tokens[8];
  for (Bytes& t : tokens) t = hl_test::random_bytes(28, rng());
  for (size_t at = 1000; at + 29 < p.old.size(); at += 1500) {
    const Bytes& t = tokens[rng() % 8];
    std::copy(t.begin(), t.end(), p.old.begin() + static_cast<std::ptrdiff_t>(at));
    p.old[at - 1] = static_cast<uint8_t>(rng() | 1);
    p.old[at + 28] = static_cast<uint8_t>(rng() | 1);
  }
  size_t cursor = 0;
  for (int k = 0; k < 2000; ++k) {
    if (cursor + 3000 > p.old.size()) cursor = 0;
    p.neu.insert(p.neu.end(), p.old.begin() + cursor, p.old.begin() + cursor + 2000);
    cursor += 2000;
    const Bytes& t = tokens[rng() % 8];
    p.neu.push_back(static_cast<uint8_t>(rng() & ~1u));
    p.neu.insert(p.neu.end(), t.begin(), t.end());
    p.neu.push_back(static_cast<uint8_t>(rng() & ~1u));
  }
  hldiff::SuffixIndex index(p.old.data(), p.old.size());
  const std::vector<Cover> covers = searched_covers(p, index);
  hldiff::ReadBudget budget;
  budget.readStep = kReadStep;
  budget.loadsPerMiB = 16;  // far below what the searched covers cost
  ASSERT_GT(loads_of(covers, p), limit_for(budget, p.neu.size()));
  const std::vector<Cover> fitted =
      hldiff::fit_read_budget(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), covers,
                              &index, hldiff::CoverCosts{}, budget);
  EXPECT_LE(loads_of(fitted, p), limit_for(budget, p.neu.size()));
  ASSERT_EQ(fitted.size(), covers.size()) << "nothing needed dropping";
  size_t moved = 0;
  for (size_t k = 0; k < covers.size(); ++k) {
    ASSERT_EQ(fitted[k].newPos, covers[k].newPos);
    ASSERT_EQ(fitted[k].length, covers[k].length);
    ASSERT_LE(fitted[k].oldPos + fitted[k].length, p.old.size());
    ASSERT_EQ(0, std::memcmp(p.old.data() + fitted[k].oldPos, p.old.data() + covers[k].oldPos,
                             covers[k].length))
        << "a moved cover reads the same old bytes, so the body keeps its bytes";
    moved += fitted[k].oldPos != covers[k].oldPos;
  }
  EXPECT_GT(moved, 100u);
}

TEST(ReadBudget, PatchesOfAFarJumpingPairGiveNewBackWithinTheBudget) {
  hl_test::ProgramPair p = far_jumping_pair(4 << 20, 2500, 47);
  hldiff::ReadBudget budget;
  for (Compression c : {Compression::None, Compression::Tuz, Compression::Lzma2}) {
    const Bytes patch = make(p, c);
    hl_test::TempDir dir;
    hl_test::write_file(dir.file("old"), p.old);
    hl_test::write_file(dir.file("patch"), patch);
    ASSERT_EQ(hl_test::run_hpatchi_quietly(dir.file("old"), dir.file("patch"), dir.file("new")),
              HPATCHI_OK)
        << hldiff::compression_name(c);
    EXPECT_EQ(hl_test::read_file(dir.file("new")), p.neu) << hldiff::compression_name(c);
    if (c != Compression::None) continue;
    // The reads the applier really makes, replayed through its real window.
    Applied applied(p.old, patch);
    ASSERT_TRUE(applied.ok);
    ASSERT_EQ(applied.listener.newData, p.neu);
    RealWindow real(p.old);
    Bytes got;
    for (size_t k = 0; k < applied.listener.readSizes.size(); ++k)
      ASSERT_TRUE(real.read(applied.listener.readPositions[k], applied.listener.readSizes[k], got));
    EXPECT_LE(real.stream.window.loads, limit_for(budget, p.neu.size()));
  }
}
