// The read budget: what it plans for a patch is what applying the patch through the file stream
// loads, the pass keeps a far-jumping pair within its budget, and whatever it moves or drops, the
// patch still gives NEW back.
#include "diff/read_budget.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>

#include "diff/patch_maker.h"
#include "patch/file_stream.h"
#include "patch/hl_result.h"
#include "patch/hpatch_lite_format.h"
#include "patch/hpatchi_core.h"
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

// A patch applied as the driver applies it, its old file read through a file stream with the
// driver's window and run blocks; the window's loads are what the application cost.
struct StreamApplied {
  PatchListener base{};  // first, so the engine's listener pointer is this record's
  hl_test::TempDir dir;
  TFileInStream old{};
  std::vector<uint64_t> window;
  PatchOldSpans spans{};
  Bytes newData;
  int code = -1;

  StreamApplied(const Bytes& oldBytes, const Bytes& patch) {
    hl_test::write_file(dir.file("old"), oldBytes);
    EXPECT_TRUE(file_in_stream_open(&old, dir.file("old").c_str()));
    window.resize(file_in_stream_window_size(&old) / 8 + 1);
    file_in_stream_set_window(&old, reinterpret_cast<hl_byte*>(window.data()));
    hl_test::MemoryReader reader(patch);
    base.diffHandle = &reader;
    base.readDiff = hl_test::MemoryReader::read;
    base.readOld = read_old;
    base.lendOld = lend_old;
    base.oldSpans = &spans;
    base.tookOld = took_old;
    base.writeNew = write_new;
    uint32_t type = 0, newSize = 0, uncompressSize = 0;
    const hpatchi_TOutput quiet = {nullptr, nullptr};
    if (hpatch_lite_open(&reader, hl_test::MemoryReader::read, &type, &newSize, &uncompressSize))
      code = hpatchi_patch_to(&quiet, &base, type, newSize, uncompressSize, HPATCHI_CACHE_SIZE);
  }
  ~StreamApplied() { file_stream_close(&old.base); }
  uint64_t loads() const { return old.window.loads; }

  static StreamApplied* self(PatchListener* l) { return reinterpret_cast<StreamApplied*>(l); }
  static hl_bool read_old(PatchListener* l, uint32_t pos, hl_byte* data, uint32_t size) {
    return file_in_stream_read(&self(l)->old.base.head, pos, data, data + size);
  }
  static const hl_byte* lend_old(PatchListener* l, uint32_t pos, hl_byte* data, uint32_t size) {
    StreamApplied* s = self(l);
    const hl_byte* at = file_in_stream_lend(&s->old.base.head, pos, data, data + size);
    file_in_stream_run_blocks(&s->old, s->spans.bytes, s->spans.position, s->spans.length);
    return at;
  }
  static void took_old(PatchListener* l) {
    StreamApplied* s = self(l);
    const uint32_t kept = std::min<uint32_t>(s->spans.taken, FILE_IN_WINDOW_TRACKS);
    uint64_t ends[FILE_IN_WINDOW_TRACKS];
    for (uint32_t i = 0; i < kept; ++i)
      ends[i] = s->spans.recentEnds[(s->spans.taken - kept + i) % HPATCH_LITE_OLD_RECENT];
    file_in_stream_took(&s->old, s->spans.taken, ends, s->spans.lastTaken);
  }
  static hl_bool write_new(PatchListener* l, const hl_byte* data, uint32_t size) {
    self(l)->newData.insert(self(l)->newData.end(), data, data + size);
    return hl_TRUE;
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

// A patch of the pair, and the loads the read budget planned for it.
Bytes make(const hl_test::ProgramPair& p, Compression c, uint64_t* plannedLoads = nullptr) {
  hldiff::MakeOptions options;
  options.encode.compression = c;
  if (plannedLoads != nullptr) options.readPlan = [&](uint64_t loads) { *plannedLoads = loads; };
  return hldiff::make_patch(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), options);
}

}  // namespace

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

// What mkpatch plans its covers against is what the applier's window then loads, on a pair whose
// covers jump far and one of program builds.
TEST(ReadBudget, PatchesLoadWhatTheBudgetPlannedAndGiveNewBack) {
  const std::pair<const char*, hl_test::ProgramPair> pairs[] = {
      {"far jumping", far_jumping_pair(4 << 20, 2500, 47)},
      {"program", hl_test::program_like_pair(1 << 18, 4)},
  };
  const hldiff::ReadBudget budget;
  for (const auto& [name, p] : pairs) {
    for (Compression c : {Compression::None, Compression::Tuz, Compression::Lzma2}) {
      const std::string what = std::string(name) + " " + hldiff::compression_name(c);
      uint64_t planned = UINT64_MAX;
      const Bytes patch = make(p, c, &planned);
      StreamApplied applied(p.old, patch);
      ASSERT_EQ(applied.code, HPATCHI_OK) << what;
      ASSERT_EQ(applied.newData, p.neu) << what;
      EXPECT_EQ(applied.loads(), planned) << what;
      EXPECT_LE(applied.loads(), limit_for(budget, p.neu.size())) << what;
      if (name != pairs[0].first) continue;
      hl_test::TempDir dir;
      hl_test::write_file(dir.file("old"), p.old);
      hl_test::write_file(dir.file("patch"), patch);
      ASSERT_EQ(hl_test::run_hpatchi_quietly(dir.file("old"), dir.file("patch"), dir.file("new")),
                HPATCHI_OK)
          << what;
      EXPECT_EQ(hl_test::read_file(dir.file("new")), p.neu) << what;
    }
  }
}
