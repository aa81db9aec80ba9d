// The old file's read window on the read sequences a patch makes: what it loads reading forward,
// backward, scattered, at the file's end, and over tiny and huge files.
#include "patch/hl_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

namespace {

constexpr uint64_t kPiece = FILE_IN_WINDOW_PIECE_SIZE;
constexpr uint64_t kRun = FILE_IN_WINDOW_RUN_SIZE;

// A file's bytes made from their positions, so that a file of any size needs no memory.
hl_byte byte_at(uint64_t position) {
  return static_cast<hl_byte>((position * 2654435761u) >> 13 ^ position >> 32);
}

struct Load {
  uint64_t position;
  uint64_t size;
};

// A window over a file of the given size whose loads are made from byte_at and recorded (a failed
// one too); a load past the file's end fails the test.
struct Windowed {
  uint64_t fileSize;
  std::vector<uint64_t> memory;
  hl_TWindow window{};
  std::vector<Load> loads;
  bool failNext = false;

  explicit Windowed(uint64_t size) : fileSize(size), memory(hl_window_size(size) / 8 + 1) {
    hl_window_start(&window, size, reinterpret_cast<hl_byte*>(memory.data()), hl_FALSE,
                    &Windowed::load, this);
  }
  Windowed(const Windowed&) = delete;
  Windowed& operator=(const Windowed&) = delete;

  static hl_bool load(void* loader, uint64_t position, hl_byte* buffer, size_t size) {
    Windowed* self = static_cast<Windowed*>(loader);
    EXPECT_GT(size, 0u);
    EXPECT_LE(position + size, self->fileSize) << "a load past the file's end";
    self->loads.push_back({position, size});
    if (self->failNext) {
      self->failNext = false;
      return hl_FALSE;
    }
    for (size_t i = 0; i < size; ++i) buffer[i] = byte_at(position + i);
    return hl_TRUE;
  }

  // Reads [position, position + size) and checks its bytes; returns the loads it cost.
  size_t read(uint64_t position, uint64_t size) {
    const size_t before = loads.size();
    std::vector<hl_byte> out(size);
    const hl_byte* at = hl_window_read(&window, position, out.data(), size);
    EXPECT_NE(at, nullptr);
    for (uint64_t i = 0; at != nullptr && i < size; ++i)
      if (at[i] != byte_at(position + i)) {
        ADD_FAILURE() << "byte " << position + i << " reads wrong";
        break;
      }
    EXPECT_EQ(window.loads, loads.size());
    return loads.size() - before;
  }

  uint64_t loaded_bytes() const {
    return std::accumulate(loads.begin(), loads.end(), uint64_t{0},
                           [](uint64_t sum, const Load& l) { return sum + l.size; });
  }
};

// A mix of the reads a patch makes: runs that go on, short jumps, long reads and reads at the end.
template <typename Read>
void mixed_reads(uint64_t fileSize, uint32_t seed, int count, Read read) {
  std::mt19937 rng(seed);
  uint64_t position = 0;
  for (int k = 0; k < count; ++k) {
    uint64_t size = 1 + rng() % 40;
    switch (rng() % 6) {
      case 0:
        position = rng() % fileSize;
        break;
      case 1:
        position = position > 5000 ? position - rng() % 5000 : 0;
        break;
      case 2:
        size = 1 + rng() % 70000;
        break;
      case 3:
        position = fileSize - std::min<uint64_t>(fileSize, 1 + rng() % 600);
        break;
      default:
        break;  // goes on where the last read ended
    }
    position = std::min(position, fileSize - 1);
    size = std::min(size, fileSize - position);
    read(k, position, size);
    position += size;
    if (position >= fileSize) position = 0;
  }
}

}  // namespace

// Reading on and on, as a long cover does, loads every byte once, in run blocks that grow: a few
// loads for the first run block's worth and then one per run block.
TEST(Window, ReadingForwardLoadsEachByteOnceInGrowingBlocks) {
  struct Case {
    uint64_t fileSize, start, length, step;
  };
  const Case cases[] = {
      {700, 0, 700, 30},                             // below one run block
      {567408, 100, 567308, 30},                     // a small program, to its end
      {5 * kRun + 77, 3, 5 * kRun + 74, 700},        // to the end, a short last block
      {64 * kRun, 9 * kPiece + 5, 20 * kRun, 1000},  // full run blocks
      {uint64_t(5) << 32, (uint64_t(1) << 32) - kRun, 12 * kRun, 4096},  // across 4 GiB
  };
  for (const Case& c : cases) {
    Windowed w(c.fileSize);
    const uint64_t end = c.start + c.length;
    for (uint64_t at = c.start; at < end; at += c.step) w.read(at, std::min(c.step, end - at));
    uint64_t loadedTo = c.start - c.start % kPiece;
    for (const Load& l : w.loads) {
      EXPECT_EQ(l.position, loadedTo) << c.fileSize << ": loads follow each other";
      loadedTo = l.position + l.size;
    }
    EXPECT_GE(loadedTo, end) << c.fileSize;
    EXPECT_LE(loadedTo, end + w.window.runSize) << c.fileSize << ": no more than one block ahead";
    EXPECT_LE(w.loads.size(), c.length / w.window.runSize + 8) << c.fileSize;
  }
}

// Reading back to front, each read a jump to just before the last: one piece per piece, and the
// stretch (as large as the piece cache) is then held whole for reads in any direction.
TEST(Window, ReadingBackwardLoadsEachPieceOnceAndKeepsThem) {
  Windowed w(64 * kRun);
  const uint64_t start = 3 * kRun, length = FILE_IN_WINDOW_PIECES * kPiece;
  for (uint64_t at = start + length; at > start; at -= 64) EXPECT_LE(w.read(at - 64, 64), 1u);
  EXPECT_EQ(w.loads.size(), length / kPiece);
  EXPECT_EQ(w.loaded_bytes(), length);
  EXPECT_TRUE(hl_window_holds(&w.window, start, length));
  for (uint64_t at = start; at < start + length; at += 100)
    w.read(at, std::min<uint64_t>(100, start + length - at));
  EXPECT_EQ(w.loads.size(), length / kPiece) << "nothing loaded again";
}

// Short covers that jump anywhere cost one short load each the first time, none the next.
TEST(Window, ScatteredShortJumpsLoadOnePieceEachAndHitAfterwards) {
  Windowed w(uint64_t(3) << 30);
  std::vector<uint64_t> pieces(FILE_IN_WINDOW_PIECES);
  std::iota(pieces.begin(), pieces.end(), uint64_t{1} << 20);
  std::mt19937 rng(4);
  std::shuffle(pieces.begin(), pieces.end(), rng);
  for (uint64_t piece : pieces) EXPECT_EQ(w.read(piece * kPiece + 100, 10), 1u);
  for (const Load& l : w.loads) EXPECT_EQ(l.size, kPiece);
  std::shuffle(pieces.begin(), pieces.end(), rng);
  for (uint64_t piece : pieces) EXPECT_EQ(w.read(piece * kPiece + 200, 30), 0u);
}

// A run interrupted by short jumps elsewhere loads what it loads alone, plus one piece per jump:
// the jumps do not throw the run's blocks away.
TEST(Window, JumpsDoNotCostTheRunTheyInterrupt) {
  const uint64_t fileSize = 40 * kRun;
  Windowed alone(fileSize), interrupted(fileSize);
  std::mt19937 rng(12);
  size_t jumps = 0;
  for (uint64_t at = 5 * kRun + 17; at < 9 * kRun; at += 25) {
    alone.read(at, 25);
    interrupted.read(at, 25);
    if (rng() % 32 == 0) interrupted.read(20 * kRun + jumps++ * kPiece + 3, 20);  // a new piece
  }
  EXPECT_GT(jumps, 100u);
  EXPECT_EQ(interrupted.loads.size(), alone.loads.size() + jumps);
}

// The last piece and the last run block are short; nothing is loaded past the file's end.
TEST(Window, BlocksEndWithTheFile) {
  for (uint64_t fileSize : {uint64_t{1}, uint64_t{513}, uint64_t{700}, kRun + kPiece + 300}) {
    Windowed w(fileSize);
    EXPECT_EQ(w.read(fileSize - 1, 1), 1u) << fileSize;  // a jump to the last byte
    EXPECT_EQ(w.loads.back().position + w.loads.back().size, fileSize);
    EXPECT_EQ(w.loads.back().size, (fileSize - 1) % kPiece + 1) << "the short last piece";
    w.read(0, fileSize);  // run blocks, the last one as long as the file allows
    const Load last = w.loads.back();
    EXPECT_EQ(last.position + last.size, fileSize) << fileSize;
    EXPECT_TRUE(hl_window_holds(&w.window, last.position, last.size)) << fileSize;
  }
}

// A tiny file gets a window no larger than what it can fill, read in one load.
TEST(Window, ATinyFileIsOneLoadInAWindowOfItsSize) {
  EXPECT_EQ(hl_window_size(0), 0u);
  for (uint64_t fileSize : {uint64_t{1}, uint64_t{100}, uint64_t{700}, uint64_t{16384}}) {
    EXPECT_EQ(hl_window_size(fileSize) % 8, 0u);
    EXPECT_LE(
        hl_window_size(fileSize),
        2 * (fileSize + 7) + (fileSize + kPiece - 1) / kPiece * kPiece +
            FILE_IN_WINDOW_PIECE_WAYS * sizeof(hl_TWindowTag) * ((fileSize + kPiece - 1) / kPiece))
        << fileSize;
    Windowed w(fileSize);
    EXPECT_EQ(w.read(0, fileSize), 1u) << fileSize;
    mixed_reads(fileSize, 3, 2000, [&](int, uint64_t at, uint64_t size) { w.read(at, size); });
    EXPECT_LE(w.window.piecesHandedOut, (fileSize + kPiece - 1) / kPiece);
  }
}

// A file of any size gets the whole window, and reads past 4 GiB load where they read.
TEST(Window, AHugeFileReadsBeyondFourGibibytes) {
  const uint64_t fileSize = uint64_t(5) << 32;
  EXPECT_EQ(hl_window_size(fileSize), HL_WINDOW_SIZE_MAX);
  EXPECT_EQ(hl_window_size(64 * kRun), HL_WINDOW_SIZE_MAX);
  Windowed w(fileSize);
  EXPECT_EQ(w.read((uint64_t(1) << 32) + 7, 20), 1u);
  EXPECT_EQ(w.loads.back().position, uint64_t(1) << 32);
  EXPECT_EQ(w.read(fileSize - 3 * kPiece, 3 * kPiece), 1u);  // a long read to the end
  EXPECT_EQ(w.loads.back().position + w.loads.back().size, fileSize);
  EXPECT_EQ(w.read((uint64_t(1) << 32) - 5, 10), 1u);  // across 4 GiB, into the piece held
}

// What the read budget asks of the window: whether a read would load, without changing it.
TEST(Window, HoldsTellsWhetherAReadLoads) {
  for (uint64_t fileSize : {uint64_t{700}, uint64_t{90000}, kRun + 3000, 3 * kRun + 1000}) {
    Windowed w(fileSize);
    mixed_reads(fileSize, 9, 20000, [&](int k, uint64_t at, uint64_t size) {
      const bool held = hl_window_holds(&w.window, at, size) != 0;
      ASSERT_EQ(held, hl_window_holds(&w.window, at, size) != 0);
      ASSERT_EQ(held, w.read(at, size) == 0) << fileSize << " read " << k;
    });
  }
}

// A load that fails leaves its block empty: the read fails, and the next one loads it again.
TEST(Window, AFailedLoadHoldsNothing) {
  Windowed w(4 * kRun);
  w.failNext = true;
  std::vector<hl_byte> out(4096);
  EXPECT_EQ(hl_window_read(&w.window, kRun, out.data(), out.size()), nullptr);
  EXPECT_FALSE(hl_window_holds(&w.window, kRun, 1));
  EXPECT_EQ(w.read(kRun, out.size()), 1u);
  w.failNext = true;
  EXPECT_EQ(hl_window_read(&w.window, 3 * kRun + 1, out.data(), 10), nullptr);  // a piece
  EXPECT_FALSE(hl_window_holds(&w.window, 3 * kRun + 1, 10));
  EXPECT_EQ(w.read(3 * kRun + 1, 10), 1u);
}
