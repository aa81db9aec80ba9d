#include "diff/cover_search.h"

#include <gtest/gtest.h>

#include "diff/body_writer.h"
#include "diff/layout_choice.h"
#include "diff/patch_header.h"
#include "patch/hl_result.h"
#include "tests/support/file_io.h"
#include "tests/support/process_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_data.h"

namespace hldiff {
bool operator==(const Cover& a, const Cover& b) {
  return a.oldPos == b.oldPos && a.newPos == b.newPos && a.length == b.length;
}
}  // namespace hldiff

namespace {

using hl_test::Bytes;
using hldiff::Cover;
using hldiff::SuffixIndex;

std::vector<Cover> covers_of(const Bytes& old, const Bytes& neu) {
  SuffixIndex index(old.data(), old.size());
  return hldiff::find_covers(old.data(), old.size(), neu.data(), neu.size(), index);
}

// A table of 8-byte little-endian pointers into a 1 MiB image, in ascending order.
Bytes pointer_table(size_t entries, uint64_t base, uint32_t seed) {
  Bytes t = hl_test::random_bytes(entries * 8, seed);
  uint64_t v = base;
  for (size_t e = 0; e < entries; ++e) {
    v += 8 + t[e * 8] % 64;
    for (int b = 0; b < 8; ++b) t[e * 8 + b] = static_cast<uint8_t>(v >> (8 * b));
  }
  return t;
}

TEST(CoverSearch, CoversAreOrderedInsideBothFilesAndFindTheSharedParts) {
  hl_test::ProgramPair p = hl_test::program_like_pair(1 << 16, 3);
  SuffixIndex index(p.old.data(), p.old.size());
  auto covers = hldiff::find_covers(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), index);
  size_t newEnd = 0, covered = 0, agreeing = 0;
  for (const auto& c : covers) {
    ASSERT_GE(c.newPos, newEnd);
    ASSERT_GT(c.length, 0u);
    ASSERT_LE(c.newPos + c.length, p.neu.size());
    ASSERT_LE(c.oldPos + c.length, p.old.size());
    newEnd = c.newPos + c.length;
    covered += c.length;
    for (size_t i = 0; i < c.length; ++i) agreeing += p.old[c.oldPos + i] == p.neu[c.newPos + i];
  }
  // Everything but the inserted block comes from OLD, almost all of it unchanged.
  EXPECT_GT(covered, p.neu.size() * 9 / 10);
  EXPECT_GT(agreeing, covered * 9 / 10);
}

TEST(CoverSearch, UnrelatedFilesGiveFewCovers) {
  Bytes old = hl_test::random_bytes(1 << 14, 1), neu = hl_test::random_bytes(1 << 14, 2);
  SuffixIndex index(old.data(), old.size());
  auto covers = hldiff::find_covers(old.data(), old.size(), neu.data(), neu.size(), index);
  size_t covered = 0;
  for (const auto& c : covers) covered += c.length;
  EXPECT_LT(covered, neu.size() / 20);
}

TEST(CoverSearch, AnInsertionSplitsNewIntoTwoAlignmentsAroundItsLiterals) {
  Bytes old = hl_test::random_bytes(40000, 4);
  Bytes inserted = hl_test::random_bytes(300, 5);
  Bytes neu(old.begin(), old.begin() + 15000);
  neu.insert(neu.end(), inserted.begin(), inserted.end());
  neu.insert(neu.end(), old.begin() + 15000, old.end());
  auto covers = covers_of(old, neu);
  ASSERT_EQ(covers.size(), 2u);
  EXPECT_EQ(covers[0].newPos, 0u);
  EXPECT_EQ(covers[0].oldPos, 0u);
  EXPECT_EQ(covers[0].length, 15000u);
  EXPECT_EQ(covers[1].newPos, 15300u);
  EXPECT_EQ(covers[1].oldPos, 15000u);
  EXPECT_EQ(covers[1].length, 25000u);
}

TEST(CoverSearch, PointersShiftedByOneAmountStayOneCover) {
  // Every pointer moved by the same 0x1230: each entry's low bytes differ, the same way.
  Bytes head = hl_test::random_bytes(4096, 6);
  Bytes table = pointer_table(2000, 0x401000, 7);
  Bytes old = head, neu = head;
  old.insert(old.end(), table.begin(), table.end());
  for (size_t e = 0; e < 2000; ++e) {
    uint64_t v = 0;
    for (int b = 0; b < 8; ++b) v |= uint64_t(table[e * 8 + b]) << (8 * b);
    v += 0x1230;
    for (int b = 0; b < 8; ++b) neu.push_back(static_cast<uint8_t>(v >> (8 * b)));
  }
  auto covers = covers_of(old, neu);
  ASSERT_EQ(covers.size(), 1u);
  EXPECT_EQ(covers[0].oldPos, 0u);
  EXPECT_EQ(covers[0].newPos, 0u);
  EXPECT_EQ(covers[0].length, neu.size());
}

TEST(CoverSearch, AShortAccidentalMatchDoesNotPullAStretchAway) {
  // NEW is OLD with a few scattered changes; one changed stretch happens to equal 8 bytes far
  // away in OLD. Jumping there and back costs more than its difference bytes.
  Bytes old = hl_test::random_bytes(30000, 8);
  Bytes neu = old;
  for (size_t i = 1000; i < neu.size(); i += 997) neu[i] ^= 0x11;
  std::copy(old.begin() + 25000, old.begin() + 25008, neu.begin() + 5000);
  auto covers = covers_of(old, neu);
  ASSERT_EQ(covers.size(), 1u);
  EXPECT_EQ(covers[0].length, neu.size());
}

TEST(CoverSearch, CoverPricesDecideBetweenDifferenceBytesAndLiterals) {
  // The middle third of NEW agrees with OLD in one byte of three: worth covering when a
  // differing byte costs about a literal, not when it costs far more.
  Bytes old = hl_test::random_bytes(30000, 9);
  Bytes neu = old;
  for (size_t i = 10000; i < 20000; ++i)
    if (i % 3 != 0) neu[i] = static_cast<uint8_t>(neu[i] + 1 + i % 7);
  SuffixIndex index(old.data(), old.size());
  auto covered = [&](const hldiff::CoverCosts& costs) {
    size_t n = 0;
    for (const Cover& c :
         hldiff::find_covers(old.data(), old.size(), neu.data(), neu.size(), index, costs))
      n += c.length;
    return n;
  };
  hldiff::CoverCosts cheapDiffs;
  cheapDiffs.diffBits = 6.5;
  cheapDiffs.repeatDiffBits = 6.5;
  hldiff::CoverCosts dearDiffs = cheapDiffs;
  dearDiffs.diffBits = dearDiffs.repeatDiffBits = 30;
  EXPECT_EQ(covered(cheapDiffs), neu.size());
  EXPECT_LE(covered(dearDiffs), neu.size() - 9000);
}

// Covers lie in order inside both files; returns the bytes they cover.
size_t check_covers(const std::vector<Cover>& covers, size_t oldSize, size_t newSize) {
  size_t newEnd = 0, covered = 0;
  for (const auto& c : covers) {
    EXPECT_GE(c.newPos, newEnd);
    EXPECT_GT(c.length, 0u);
    EXPECT_LE(c.newPos + c.length, newSize);
    EXPECT_LE(c.oldPos + c.length, oldSize);
    newEnd = c.newPos + c.length;
    covered += c.length;
  }
  return covered;
}

TEST(CoverSearch, PiecesSearchedApartCoverNewAsOneSearchDoes) {
  hl_test::ProgramPair p = hl_test::program_like_pair(3 << 20, 11);
  SuffixIndex index(p.old.data(), p.old.size());
  auto search = [&](unsigned pieces, const hldiff::ProgressFn& progress = {}) {
    return hldiff::find_covers(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), index, {},
                               progress, pieces);
  };
  const auto whole = search(1);
  size_t lastDone = 0, calls = 0;
  const auto halves = search(2, [&](size_t done, size_t total) {
    EXPECT_EQ(total, p.neu.size());
    EXPECT_GE(done, lastDone);
    lastDone = done;
    ++calls;
  });
  EXPECT_GT(calls, 1u);
  EXPECT_EQ(lastDone, p.neu.size());
  const size_t coveredWhole = check_covers(whole, p.old.size(), p.neu.size());
  const size_t coveredHalves = check_covers(halves, p.old.size(), p.neu.size());
  // The cut costs at most the run it falls into: one cover more, a few bytes less covered.
  EXPECT_LE(halves.size(), whole.size() + 1);
  EXPECT_GE(coveredHalves + 64, coveredWhole);
  EXPECT_EQ(search(2), halves) << "the same covers on every run";
  {
    // The covers of the two pieces make a patch that gives NEW back.
    hldiff::BodyOptions o;
    o.plainRunMin = 12;
    Bytes patch = hldiff::write_patch_header(hldiff::CompressType::None, uint32_t(p.neu.size()), 0);
    Bytes body =
        hldiff::write_body(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), halves, o);
    patch.insert(patch.end(), body.begin(), body.end());
    hl_test::TempDir dir;
    hl_test::write_file(dir.file("old"), p.old);
    hl_test::write_file(dir.file("patch"), patch);
    ASSERT_EQ(hl_test::run_hpatchi_quietly(dir.file("old"), dir.file("patch"), dir.file("new")),
              HPATCHI_OK);
    EXPECT_EQ(hl_test::read_file(dir.file("new")), p.neu);
  }
  // Pieces under 1 MiB are not made: asking for more gives what three pieces give.
  EXPECT_EQ(search(64), search(3));
  EXPECT_EQ(hldiff::find_covers(p.old.data(), p.old.size(), p.neu.data(), (1 << 20) + 5, index, {},
                                {}, 2),
            hldiff::find_covers(p.old.data(), p.old.size(), p.neu.data(), (1 << 20) + 5, index))
      << "NEW under 2 MiB is one piece";
}

TEST(LayoutTrial, WindowsSpanSmallFilesWholeAndSpreadOverLargeOnes) {
  auto whole = hldiff::trial_windows(1000, 256, 4);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0], std::make_pair(size_t(0), size_t(1000)));
  auto spread = hldiff::trial_windows(10000, 256, 4);
  ASSERT_EQ(spread.size(), 4u);
  EXPECT_EQ(spread.front().first, 0u);
  EXPECT_LE(spread.back().second, 10000u);
  EXPECT_GE(spread.back().second, 10000u - 3u);
  for (size_t k = 0; k < spread.size(); ++k) {
    EXPECT_EQ(spread[k].second - spread[k].first, 256u);
    if (k > 0) {
      EXPECT_GT(spread[k].first, spread[k - 1].second);
    }
  }
}

// Close candidates coded whole: the layout chosen so codes NEW no larger than the one the windows
// alone pick, and its covers, handed over once, are those a search under its prices finds.
TEST(LayoutTrial, CloseCandidatesCodedWholeDoNoWorseThanTheWindows) {
  hl_test::ProgramPair p = hl_test::program_like_pair(400000, 5);
  SuffixIndex index(p.old.data(), p.old.size());
  hldiff::LayoutTrial trial;
  trial.encode.compression = hldiff::Compression::Zlib;
  trial.windowSize = 32768;   // four windows, a third of NEW
  trial.closeFraction = 1.0;  // every candidate is close
  auto coded = [&](const hldiff::Layout& l) {
    auto covers =
        hldiff::find_covers(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), index, l.costs);
    hldiff::BodyOptions o;
    o.plainRunMin = l.plainRunMin;
    Bytes body =
        hldiff::write_body(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), covers, o);
    return hldiff::encode_body(body, trial.encode).payload.size();
  };
  hldiff::LayoutChoice windowsOnly(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), index,
                                   trial);
  const hldiff::Layout a = windowsOnly.choose();
  EXPECT_FALSE(windowsOnly.take_covers(a)) << "nothing searched over all of NEW";
  hldiff::LayoutChoice whole(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), index, trial);
  const hldiff::Layout b = whole.choose(&index);
  EXPECT_LE(coded(b), coded(a));
  auto covers = whole.take_covers(b);
  ASSERT_TRUE(covers);
  EXPECT_EQ(*covers, hldiff::find_covers(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(),
                                         index, b.costs));
  EXPECT_FALSE(whole.take_covers(b)) << "handed over once";
}

// The large-file trial: only candidates that differ on the windows are coded whole, it does no
// worse than the windows, and the threads change nothing.
TEST(LayoutTrial, DistinctCandidatesCodedWholeChooseAlikeOnAnyThreadCount) {
  hl_test::ProgramPair p = hl_test::program_like_pair(400000, 5);
  SuffixIndex index(p.old.data(), p.old.size());
  hldiff::LayoutTrial trial;
  trial.encode.compression = hldiff::Compression::Zlib;
  trial.windowSize = 32768;
  trial.closeFraction = 1.0;
  trial.wholeDistinctOnly = true;
  auto coded = [&](const hldiff::Layout& l, size_t split) {
    auto covers =
        hldiff::find_covers(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), index, l.costs);
    hldiff::BodyOptions o;
    o.plainRunMin = split;
    Bytes body =
        hldiff::write_body(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), covers, o);
    return hldiff::encode_body(body, trial.encode).payload.size();
  };
  const hldiff::Layout a =
      hldiff::LayoutChoice(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), index, trial)
          .choose();
  std::vector<hldiff::Layout> chosen;
  std::vector<std::vector<Cover>> handed;
  for (unsigned threads : {1u, 2u}) {
    trial.threads = threads;
    trial.searchPieces = 2;
    hldiff::LayoutChoice whole(p.old.data(), p.old.size(), p.neu.data(), p.neu.size(), index,
                               trial);
    chosen.push_back(whole.choose(&index));
    handed.push_back(whole.take_covers(chosen.back()).value_or(std::vector<Cover>()));
  }
  EXPECT_EQ(chosen[0].costsIndex, chosen[1].costsIndex);
  EXPECT_EQ(chosen[0].plainRunMin, chosen[1].plainRunMin);
  EXPECT_EQ(handed[0], handed[1]);
  EXPECT_LE(coded(chosen[0], chosen[0].plainRunMin), coded(a, a.plainRunMin));
}

}  // namespace
