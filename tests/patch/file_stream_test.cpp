// File streams: opening, measuring, range reads, sequential writes and the error rule's line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "patch/file_stream.h"
#include "tests/support/file_io.h"
#include "tests/support/patch_writer.h"
#include "tests/support/process_capture.h"
#include "tests/support/test_data.h"

using hl_test::Bytes;
using hl_test::Captured;
using hl_test::StdCapture;
using hl_test::TempDir;

namespace {

std::string error_line(int e) {
  return "call import system api error! errno: " + std::to_string(e) +
         ", errmsg: " + std::strerror(e) + ".\n";
}

bool read_range(TFileInStream& s, uint64_t pos, hl_byte* buf, size_t size) {
  return s.base.head.read(&s.base.head, pos, buf, buf + size) != 0;
}

struct OpenedFile {
  TempDir dir;
  std::string path;
  Bytes data;
  TFileInStream stream{};
  explicit OpenedFile(size_t size) : path(dir.file("data")), data(hl_test::random_bytes(size, 11)) {
    hl_test::write_file(path, data);
    EXPECT_TRUE(file_in_stream_open(&stream, path.c_str()));
  }
  ~OpenedFile() { file_stream_close(&stream.base); }
};

// Window memory for an open input stream, 8-byte aligned as file_in_stream_set_window asks, and
// exactly as much as it asks for: a window that went past it is an overflow the sanitizer build
// reports.
struct WindowMemory {
  std::vector<uint64_t> words;
  explicit WindowMemory(const TFileInStream& s) : words(file_in_stream_window_size(&s) / 8) {}
  hl_byte* bytes() { return reinterpret_cast<hl_byte*>(words.data()); }
};

// From here on the stream's descriptor is the read end of an empty pipe: reading from the file
// fails with ESPIPE, so every range that still reads correctly came from the window.
void cut_off_the_file(TFileInStream& s) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_GE(dup2(fds[0], fileno(s.base.file)), 0);
  close(fds[0]);
  close(fds[1]);
}

bool reads_as(TFileInStream& s, const Bytes& data, uint64_t pos, size_t size) {
  Bytes buf(size);
  return read_range(s, pos, buf.data(), size) &&
         std::equal(buf.begin(), buf.end(), data.begin() + static_cast<std::ptrdiff_t>(pos));
}

constexpr uint64_t kRun = FILE_IN_WINDOW_RUN_SIZE;
constexpr uint64_t kPiece = FILE_IN_WINDOW_PIECE_SIZE;

struct WindowedFile : OpenedFile {
  WindowMemory memory;
  explicit WindowedFile(size_t size) : OpenedFile(size), memory(stream) {
    file_in_stream_set_window(&stream, memory.bytes());
  }
};

}  // namespace

TEST(FileInStream, OpensMeasuresAndReadsAnyRange) {
  OpenedFile f(3u * 1048576u + 123);  // several 1 MiB pieces
  EXPECT_EQ(f.stream.base.head.streamSize, f.data.size());
  EXPECT_EQ(f.stream.base.head.self, &f.stream);
  EXPECT_EQ(f.stream.base.filePos, 0u);
  Bytes all(f.data.size());
  ASSERT_TRUE(read_range(f.stream, 0, all.data(), all.size()));
  EXPECT_EQ(all, f.data);
  Bytes middle(1000);
  ASSERT_TRUE(read_range(f.stream, 5000, middle.data(), middle.size()));
  EXPECT_TRUE(std::equal(middle.begin(), middle.end(), f.data.begin() + 5000));
  EXPECT_EQ(f.stream.base.filePos, 6000u);
  EXPECT_EQ(f.stream.base.fileError, 0);
}

TEST(FileInStream, ZeroByteReadsSucceedAnywhere) {
  OpenedFile f(10);
  StdCapture capture(false);
  hl_byte b = 0;
  EXPECT_TRUE(read_range(f.stream, 0, &b, 0));
  EXPECT_TRUE(read_range(f.stream, 10, &b, 0));
  EXPECT_TRUE(read_range(f.stream, ~uint64_t(0), &b, 0));
  Captured c = capture.finish();
  EXPECT_EQ(c.err, "");
  EXPECT_EQ(f.stream.base.fileError, 0);
}

TEST(FileInStream, ReadPastTheEndFailsWithEfbigPrintedOnce) {
  OpenedFile f(10);
  hl_byte buf[16];
  StdCapture capture(false);
  EXPECT_TRUE(read_range(f.stream, 4, buf, 6));  // ends exactly at the end
  uint64_t before = f.stream.base.filePos;
  EXPECT_FALSE(read_range(f.stream, 4, buf, 7));  // one byte further
  EXPECT_EQ(f.stream.base.filePos, before);       // unchanged by a range failure
  EXPECT_FALSE(read_range(f.stream, 11, buf, 1));
  EXPECT_FALSE(read_range(f.stream, ~uint64_t(0), buf, 2));  // no wrap in the range test
  Captured c = capture.finish();
  EXPECT_EQ(c.err, error_line(EFBIG));
  EXPECT_EQ(f.stream.base.fileError, EFBIG);
}

TEST(FileInStream, ALaterDifferentErrorIsPrintedButTheFirstStays) {
  OpenedFile f(10);
  hl_byte buf[16];
  StdCapture capture(false);
  EXPECT_FALSE(read_range(f.stream, 5, buf, 6));
  close(fileno(f.stream.base.file));  // the close below now fails with EBADF
  EXPECT_FALSE(file_stream_close(&f.stream.base));
  EXPECT_EQ(f.stream.base.file, nullptr);  // closed anyway
  EXPECT_TRUE(file_stream_close(&f.stream.base));
  Captured c = capture.finish();
  EXPECT_EQ(c.err, error_line(EFBIG) + error_line(EBADF));
  EXPECT_EQ(f.stream.base.fileError, EFBIG);  // survives closing
}

TEST(FileInStream, ReadAfterASeekUsesTheNewPosition) {
  OpenedFile f(5000);
  hl_byte buf[10];
  ASSERT_TRUE(read_range(f.stream, 4000, buf, 10));
  EXPECT_TRUE(std::equal(buf, buf + 10, f.data.begin() + 4000));
  ASSERT_TRUE(read_range(f.stream, 3, buf, 10));
  EXPECT_TRUE(std::equal(buf, buf + 10, f.data.begin() + 3));
}

TEST(FileInStream, EmptyFileHasSizeZeroAndRefusesReads) {
  OpenedFile f(0);
  EXPECT_EQ(f.stream.base.head.streamSize, 0u);
  hl_byte b;
  StdCapture capture(false);
  EXPECT_FALSE(read_range(f.stream, 0, &b, 1));
  EXPECT_EQ(capture.finish().err, error_line(EFBIG));
}

TEST(FileInStream, ZeroedRecordClosesSilently) {
  TFileInStream s{};
  StdCapture capture(false);
  EXPECT_TRUE(file_stream_close(&s.base));
  TFileOutStream o{};
  EXPECT_TRUE(file_stream_close(&o.base));
  EXPECT_EQ(capture.finish().err, "");
}

TEST(FileInStream, MissingFileReportsErrnoAndStaysClosed) {
  TempDir dir;
  TFileInStream s{};
  StdCapture capture(false);
  EXPECT_FALSE(file_in_stream_open(&s, dir.file("absent").c_str()));
  EXPECT_EQ(s.base.file, nullptr);
  EXPECT_EQ(s.base.fileError, ENOENT);
  EXPECT_EQ(capture.finish().err, error_line(ENOENT));
}

TEST(FileInStream, OpeningAnOpenRecordFailsWithEinvalAndKeepsItOpen) {
  OpenedFile f(4);
  FILE* handle = f.stream.base.file;
  StdCapture capture(false);
  EXPECT_FALSE(file_in_stream_open(&f.stream, f.path.c_str()));
  EXPECT_EQ(capture.finish().err, error_line(EINVAL));
  EXPECT_EQ(f.stream.base.file, handle);
  hl_byte buf[4];
  EXPECT_TRUE(read_range(f.stream, 0, buf, 4));
}

TEST(FileInStream, ReopeningResetsTheRecordedError) {
  OpenedFile f(4);
  hl_byte buf[8];
  StdCapture capture(false);
  EXPECT_FALSE(read_range(f.stream, 0, buf, 8));
  EXPECT_TRUE(file_stream_close(&f.stream.base));
  EXPECT_EQ(f.stream.base.fileError, EFBIG);
  EXPECT_TRUE(file_in_stream_open(&f.stream, f.path.c_str()));
  EXPECT_EQ(f.stream.base.fileError, 0);
  capture.finish();
}

TEST(FileInStream, DirectoryIsNotAnInputFile) {
  TempDir dir;
  TFileInStream s{};
  StdCapture capture(false);
  EXPECT_FALSE(file_in_stream_open(&s, dir.path().c_str()));
  EXPECT_EQ(s.base.file, nullptr);
  EXPECT_EQ(capture.finish().err, error_line(EISDIR));
}

TEST(FileInStream, Utf8PathOpens) {
  TempDir dir;
  std::string path = dir.file("Qu\xC3\xB6rlin-\xE2\x82\xAC-\xE6\x9B\xB4\xE6\x96\xB0.bin");
  hl_test::write_file(path, {1, 2, 3});
  TFileInStream s{};
  ASSERT_TRUE(file_in_stream_open(&s, path.c_str()));
  EXPECT_EQ(s.base.head.streamSize, 3u);
  EXPECT_TRUE(file_stream_close(&s.base));
}

TEST(FileInStream, PositionsBeyondFourGibibytes) {
  TempDir dir;
  std::string path = dir.file("sparse");
  const uint64_t size = (5ull << 30) + 7;
  const uint64_t marker = (1ull << 32) + 5;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    close(fd);
    GTEST_SKIP() << "no sparse 5 GiB file here";
  }
  const char text[] = "far";
  ASSERT_EQ(pwrite(fd, text, 3, static_cast<off_t>(marker)), 3);
  close(fd);
  TFileInStream s{};
  ASSERT_TRUE(file_in_stream_open(&s, path.c_str()));
  EXPECT_EQ(s.base.head.streamSize, size);
  hl_byte buf[5] = {};
  ASSERT_TRUE(read_range(s, marker - 1, buf, 5));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), std::string("\0far\0", 5));
  ASSERT_TRUE(read_range(s, size - 2, buf, 2));
  // Through the window: a piece and a run block past 4 GiB, and the short blocks at the end.
  WindowMemory memory(s);
  file_in_stream_set_window(&s, memory.bytes());
  std::memset(buf, 0x55, sizeof(buf));
  ASSERT_TRUE(read_range(s, marker - 1, buf, 5));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), std::string("\0far\0", 5));
  ASSERT_TRUE(read_range(s, marker + 4, buf, 1));  // goes on: a run block
  ASSERT_TRUE(read_range(s, size - 2, buf, 2));
  ASSERT_TRUE(read_range(s, size - 5, buf, 5));
  EXPECT_EQ(s.base.filePos, size);
  EXPECT_TRUE(file_stream_close(&s.base));
}

// ---- the read window ----

TEST(FileInWindow, AShortJumpLoadsOnePieceAndReadsInsideItNeedNoFile) {
  WindowedFile f(3 * kRun);
  const uint64_t piece = kRun + 5 * kPiece;
  const uint64_t at = piece + kPiece / 8;  // no range has ended here: a jump
  ASSERT_TRUE(reads_as(f.stream, f.data, at, 20));
  cut_off_the_file(f.stream);
  StdCapture capture(false);
  EXPECT_TRUE(reads_as(f.stream, f.data, piece, 1));       // the piece's first byte
  EXPECT_TRUE(reads_as(f.stream, f.data, piece, kPiece));  // all of it
  EXPECT_TRUE(reads_as(f.stream, f.data, at + kPiece / 2, 30));
  EXPECT_EQ(f.stream.base.filePos, at + kPiece / 2 + 30);
  EXPECT_FALSE(reads_as(f.stream, f.data, piece - 1, 1));  // the byte before it
  EXPECT_EQ(f.stream.base.filePos, FILE_STREAM_POS_UNKNOWN);
  EXPECT_FALSE(reads_as(f.stream, f.data, piece, kPiece + 1));  // one byte past it
  Captured c = capture.finish();
  EXPECT_EQ(c.err, error_line(ESPIPE));  // the failed read's line, once
  EXPECT_EQ(f.stream.base.fileError, ESPIPE);
  EXPECT_TRUE(reads_as(f.stream, f.data, at, 20));  // what the window held is still there
}

TEST(FileInWindow, BlocksEndWithTheFile) {
  WindowedFile f(kRun + kPiece + 300);  // the last run block and the last piece are short
  uint64_t size = f.data.size();
  StdCapture capture(false);
  EXPECT_TRUE(reads_as(f.stream, f.data, size - 10, 10));  // a jump to the end: a short piece
  EXPECT_TRUE(reads_as(f.stream, f.data, size - 1, 1));
  EXPECT_FALSE(reads_as(f.stream, f.data, size - 10, 11));
  EXPECT_TRUE(reads_as(f.stream, f.data, kRun - 5, 10));
  EXPECT_TRUE(reads_as(f.stream, f.data, kRun + 5, size - kRun - 5));  // goes on: a short run
  EXPECT_EQ(capture.finish().err, error_line(EFBIG));
  EXPECT_EQ(f.stream.base.filePos, size);
}

TEST(FileInWindow, AFileThatShrankFailsWithoutAnErrorNumber) {
  WindowedFile f(2 * kRun);
  ASSERT_EQ(truncate(f.path.c_str(), static_cast<off_t>(kRun + kPiece)), 0);
  StdCapture capture(false);
  EXPECT_TRUE(reads_as(f.stream, f.data, kRun, 10));                 // its piece is still whole
  EXPECT_FALSE(reads_as(f.stream, f.data, kRun + kPiece + 20, 10));  // this one is gone
  EXPECT_FALSE(reads_as(f.stream, f.data, kRun, 2 * kPiece));        // so does the run block
  EXPECT_EQ(capture.finish().err, "");
  EXPECT_EQ(f.stream.base.fileError, 0);
  EXPECT_EQ(f.stream.base.filePos, FILE_STREAM_POS_UNKNOWN);
}

TEST(FileInWindow, AZeroedWindowReadsAsALentOne) {
  for (size_t size : {size_t{700}, 5 * kRun + 77, 20 * kRun}) {
    OpenedFile lent(size), zeroed(size);
    WindowMemory dirty(lent.stream), clean(zeroed.stream);
    std::fill(dirty.words.begin(), dirty.words.end(), ~uint64_t(0));
    file_in_stream_set_window(&lent.stream, dirty.bytes());
    file_in_stream_set_zeroed_window(&zeroed.stream, clean.bytes());
    std::mt19937 random(static_cast<uint32_t>(size));
    uint64_t pos = 0;
    for (int i = 0; i < 4000; ++i) {
      uint64_t length = random() % 4 == 0 ? 1 + random() % 20000 : 1 + random() % 48;
      if (random() % 3 == 0) pos = random() % size;
      if (pos >= size) pos = 0;
      length = std::min<uint64_t>(length, size - pos);
      ASSERT_TRUE(reads_as(lent.stream, lent.data, pos, length)) << size << " " << i;
      ASSERT_TRUE(reads_as(zeroed.stream, zeroed.data, pos, length)) << size << " " << i;
      ASSERT_EQ(lent.stream.window.loads, zeroed.stream.window.loads) << size << " " << i;
      pos += length;
    }
  }
}

TEST(FileInWindow, AnyMixOfRangesReadsTheFile) {
  // Files smaller than a run block, than the piece cache, with sets of one to four ways, and one
  // with the whole window.
  for (size_t size :
       {size_t{1}, size_t{700}, size_t{40000}, 3 * kRun, 5 * kRun + 77, 16 * kRun + 12345}) {
    WindowedFile f(size);
    std::mt19937 random(static_cast<uint32_t>(size));
    uint64_t pos = 0;
    for (int i = 0; i < 6000; ++i) {
      uint32_t kind = random() % 10;
      uint64_t length = kind < 6   ? 1 + random() % 48
                        : kind < 9 ? 1 + random() % 4000
                                   : 1 + random() % 40000;
      if (kind % 3 == 0)
        pos = random() % size;  // a jump
      else if (kind % 3 == 1)
        pos = random() % 2 ? 17 : size - 1;  // one of two regions
      if (pos >= size) pos = 0;
      length = std::min<uint64_t>(length, size - pos);
      ASSERT_TRUE(reads_as(f.stream, f.data, pos, length)) << size << " " << i;
      pos += length;
    }
    EXPECT_LE(f.stream.window.piecesHandedOut, (size + kPiece - 1) / kPiece);
  }
}

const hl_byte* lend_range(TFileInStream& s, uint64_t pos, hl_byte* buf, size_t size) {
  return file_in_stream_lend(&s.base.head, pos, buf, buf + size);
}

TEST(FileInWindow, LendingGivesTheWindowsOwnBytesOrGathersThem) {
  WindowedFile f(3 * kRun);
  Bytes buf(2 * kPiece, 0xEE);
  const hl_byte* at = lend_range(f.stream, kRun + 10, buf.data(), 20);  // a jump: one piece
  ASSERT_NE(at, nullptr);
  EXPECT_NE(at, buf.data());
  EXPECT_TRUE(std::equal(at, at + 20, f.data.begin() + kRun + 10));
  EXPECT_EQ(buf, Bytes(2 * kPiece, 0xEE));
  EXPECT_EQ(f.stream.base.filePos, kRun + 30);
  // Across the piece's end: the next piece joins it in the buffer.
  at = lend_range(f.stream, kRun + kPiece - 4, buf.data(), 8);
  EXPECT_EQ(at, buf.data());
  EXPECT_TRUE(std::equal(at, at + 8, f.data.begin() + kRun + kPiece - 4));
  EXPECT_EQ(lend_range(f.stream, 0, buf.data(), 0), buf.data());
  StdCapture capture(false);
  EXPECT_EQ(lend_range(f.stream, 3 * kRun - 4, buf.data(), 5), nullptr);
  EXPECT_EQ(capture.finish().err, error_line(EFBIG));
  EXPECT_EQ(f.stream.base.fileError, EFBIG);
}

TEST(FileInWindow, WithoutAWindowLendingReadsIntoTheBuffer) {
  OpenedFile f(5000);
  Bytes buf(100);
  EXPECT_EQ(lend_range(f.stream, 4900, buf.data(), 100), buf.data());
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), f.data.begin() + 4900));
}

// The window's loads decide what the patch creator plans against: lending must load exactly what
// reading loads, range for range.
TEST(FileInWindow, LendingLoadsWhatReadingLoads) {
  WindowedFile reading(5 * kRun + 999);
  WindowedFile lending(5 * kRun + 999);
  ASSERT_EQ(reading.data, lending.data);
  const uint64_t size = reading.data.size();
  std::mt19937 random(5);
  Bytes buf(40000);
  uint64_t pos = 0;
  for (int i = 0; i < 20000; ++i) {
    uint32_t kind = random() % 10;
    uint64_t length = kind < 7 ? 1 + random() % 64 : 1 + random() % 40000;
    if (kind % 3 == 0)
      pos = random() % size;
    else if (kind % 3 == 1)
      pos = random() % 2 ? 17 : 4 * kRun + 5;
    if (pos >= size) pos = 0;
    length = std::min<uint64_t>(length, size - pos);
    ASSERT_TRUE(reads_as(reading.stream, reading.data, pos, length)) << i;
    const hl_byte* at = lend_range(lending.stream, pos, buf.data(), length);
    ASSERT_NE(at, nullptr) << i;
    ASSERT_TRUE(
        std::equal(at, at + length, lending.data.begin() + static_cast<std::ptrdiff_t>(pos)))
        << i;
    ASSERT_EQ(lending.stream.window.loads, reading.stream.window.loads) << i;
    pos += length;
  }
  for (unsigned r = 0; r < FILE_IN_WINDOW_RUNS; ++r) {
    EXPECT_EQ(lending.stream.window.runs[r].position, reading.stream.window.runs[r].position);
    EXPECT_EQ(lending.stream.window.runs[r].length, reading.stream.window.runs[r].length);
  }
  EXPECT_EQ(lending.stream.window.piecesHandedOut, reading.stream.window.piecesHandedOut);
}

// Ranges taken from the run blocks and told in batches leave the window as lending them one by
// one does, so what it loads later is the same too.
TEST(FileInWindow, RangesTakenFromTheRunBlocksCountAsLent) {
  WindowedFile lending(5 * kRun + 999);
  WindowedFile taking(5 * kRun + 999);
  const uint64_t size = lending.data.size();
  std::mt19937 random(9);
  Bytes buf(40000);
  uint64_t pos = 0;
  uint32_t count = 0;
  uint32_t lastRange[FILE_IN_WINDOW_RUNS] = {};
  std::vector<uint64_t> endsSoFar;
  const TFileInWindow& a = lending.stream.window;
  const TFileInWindow& b = taking.stream.window;
  auto same_state = [&]() {
    EXPECT_EQ(b.loads, a.loads);
    EXPECT_EQ(b.useClock, a.useClock);
    EXPECT_EQ(b.nextTrack, a.nextTrack);
    for (unsigned t = 0; t < FILE_IN_WINDOW_TRACKS; ++t)
      EXPECT_EQ(b.recentEnds[t], a.recentEnds[t]);
    for (unsigned r = 0; r < FILE_IN_WINDOW_RUNS; ++r) {
      EXPECT_EQ(b.runs[r].position, a.runs[r].position);
      EXPECT_EQ(b.runs[r].length, a.runs[r].length);
      EXPECT_EQ(b.runs[r].lastUse, a.runs[r].lastUse);
    }
    EXPECT_EQ(taking.stream.base.filePos, lending.stream.base.filePos);
  };
  auto told = [&]() {
    uint32_t kept = std::min<uint32_t>(count, FILE_IN_WINDOW_TRACKS);
    file_in_stream_took(&taking.stream, count, endsSoFar.data() + endsSoFar.size() - kept,
                        lastRange);
    count = 0;
    endsSoFar.clear();
    for (uint32_t& last : lastRange) last = 0;
    same_state();
  };
  uint64_t taken = 0;
  for (int i = 0; i < 20000; ++i) {
    uint32_t kind = random() % 10;
    uint64_t length = kind < 8 ? 1 + random() % 64 : 1 + random() % 40000;
    if (kind % 3 == 0)
      pos = random() % size;
    else if (kind % 3 == 1)
      pos = random() % 2 ? 17 : 4 * kRun + 5;
    if (pos >= size) pos = 0;
    length = std::min<uint64_t>(length, size - pos);
    const hl_byte* bytes[FILE_IN_WINDOW_RUNS];
    uint64_t positions[FILE_IN_WINDOW_RUNS];
    uint32_t lengths[FILE_IN_WINDOW_RUNS];
    file_in_stream_run_blocks(&taking.stream, bytes, positions, lengths);
    // The first block that holds pos, if it holds the whole range.
    int run = -1;
    for (unsigned r = 0; r < FILE_IN_WINDOW_RUNS; ++r) {
      if (pos - positions[r] < lengths[r]) {
        if (length <= lengths[r] - (pos - positions[r])) run = int(r);
        break;
      }
    }
    if (run < 0 && count > 0) told();
    ASSERT_NE(lend_range(lending.stream, pos, buf.data(), length), nullptr) << i;
    if (run >= 0) {
      const hl_byte* from = bytes[run] + (pos - positions[run]);
      ASSERT_TRUE(
          std::equal(from, from + length, taking.data.begin() + static_cast<std::ptrdiff_t>(pos)))
          << i;
      endsSoFar.push_back(pos + length);
      lastRange[run] = ++count;
      ++taken;
      if (random() % 16 == 0) told();
    } else {
      ASSERT_NE(lend_range(taking.stream, pos, buf.data(), length), nullptr) << i;
    }
    pos += length;
  }
  if (count > 0) told();
  EXPECT_GT(taken, 1000u);
  same_state();
  EXPECT_TRUE(taking.memory.words == lending.memory.words);  // the piece tags too
}

TEST(FileInWindow, TakingTheWindowBackReadsStraightFromTheFile) {
  WindowedFile f(kRun);
  ASSERT_TRUE(reads_as(f.stream, f.data, 100, 10));
  file_in_stream_set_window(&f.stream, nullptr);
  EXPECT_EQ(f.stream.window.memory, nullptr);
  cut_off_the_file(f.stream);
  StdCapture capture(false);
  EXPECT_FALSE(reads_as(f.stream, f.data, 100, 10));
  EXPECT_EQ(capture.finish().err, error_line(ESPIPE));
}

// ---- output stream ----

TEST(FileOutStream, WritesInSequenceAndReadsBack) {
  TempDir dir;
  std::string path = dir.file("out");
  hl_test::write_file(path, Bytes(100, 0xFF));  // truncated by opening
  TFileOutStream o{};
  ASSERT_TRUE(file_out_stream_open(&o, path.c_str(), 3u << 20));
  EXPECT_EQ(o.base.head.streamSize, 3u << 20);
  EXPECT_EQ(o.base.head.self, &o);
  Bytes data = hl_test::random_bytes((2u << 20) + 9, 4);
  const TFileStreamHead* head = &o.base.head;
  ASSERT_TRUE(head->write(head, 0, data.data(), data.data() + 1000));
  ASSERT_TRUE(head->write(head, 1000, data.data() + 1000, data.data() + data.size()));
  EXPECT_EQ(o.outLength, data.size());
  hl_byte back[64];
  ASSERT_TRUE(head->read(head, 1000, back, back + 64));
  EXPECT_TRUE(o.inReadMode);
  EXPECT_TRUE(std::equal(back, back + 64, data.begin() + 1000));
  ASSERT_TRUE(head->read(head, 1064, back, back + 64));
  EXPECT_TRUE(std::equal(back, back + 64, data.begin() + 1064));
  EXPECT_TRUE(file_stream_close(&o.base));
  EXPECT_EQ(hl_test::read_file(path), data);
}

TEST(FileOutStream, RefusesToMoveAndToPassTheDeclaredSize) {
  TempDir dir;
  TFileOutStream o{};
  ASSERT_TRUE(file_out_stream_open(&o, dir.file("out").c_str(), 10));
  const TFileStreamHead* head = &o.base.head;
  hl_byte data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  StdCapture capture(false);
  EXPECT_TRUE(head->write(head, 0, data, data));       // empty: anywhere
  EXPECT_FALSE(head->write(head, 3, data, data + 2));  // not where the last ended
  EXPECT_TRUE(head->write(head, 0, data, data + 4));
  EXPECT_FALSE(head->write(head, 4, data, data + 7));  // 4 + 7 > 10
  EXPECT_TRUE(head->write(head, 4, data, data + 6));   // ends exactly at 10
  hl_byte back[2];
  EXPECT_TRUE(head->read(head, 0, back, back + 2));
  EXPECT_TRUE(head->write(head, 10, data, data));  // empty is still fine
  Captured c = capture.finish();
  EXPECT_EQ(o.base.fileError, ERANGE);
  EXPECT_EQ(c.err, error_line(ERANGE) + error_line(EFBIG));
  EXPECT_EQ(o.outLength, 10u);
  EXPECT_TRUE(file_stream_close(&o.base));
}

TEST(FileOutStream, WriteAfterReadBackFailsWithErange) {
  TempDir dir;
  TFileOutStream o{};
  ASSERT_TRUE(file_out_stream_open(&o, dir.file("out").c_str(), 100));
  const TFileStreamHead* head = &o.base.head;
  hl_byte data[4] = {1, 2, 3, 4};
  ASSERT_TRUE(head->write(head, 0, data, data + 4));
  hl_byte back[4];
  ASSERT_TRUE(head->read(head, 0, back, back + 4));
  StdCapture capture(false);
  EXPECT_FALSE(head->write(head, 4, data, data + 4));
  EXPECT_FALSE(o.inReadMode);
  EXPECT_EQ(capture.finish().err, error_line(ERANGE));
  EXPECT_TRUE(file_stream_close(&o.base));
}

TEST(FileOutStream, FailedCloseIsReportedOnFullDevice) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  TFileOutStream o{};
  ASSERT_TRUE(file_out_stream_open(&o, "/dev/full", 100));
  const TFileStreamHead* head = &o.base.head;
  hl_byte data[10] = {};
  ASSERT_TRUE(head->write(head, 0, data, data + 10));  // buffered
  StdCapture capture(false);
  EXPECT_FALSE(file_stream_close(&o.base));
  EXPECT_EQ(capture.finish().err, error_line(ENOSPC));
  EXPECT_EQ(o.base.file, nullptr);
}

TEST(FileOutStream, BytesPlacedInItsBufferGoOutInWholeBuffers) {
  TempDir dir;
  std::string path = dir.file("out");
  TFileOutStream o{};
  ASSERT_TRUE(file_out_stream_open(&o, path.c_str(), 1u << 20));
  const Bytes data = hl_test::random_bytes(3 * FILE_OUT_STREAM_BUFFER_SIZE + 100, 8);
  size_t done = 0;
  while (done < data.size()) {
    uint32_t room = 0;
    hl_byte* at = file_out_stream_space(&o, &room);
    ASSERT_GE(room, 1u);
    uint32_t n = static_cast<uint32_t>(std::min<size_t>({room, data.size() - done, 1000}));
    std::memcpy(at, data.data() + done, n);
    ASSERT_TRUE(file_out_stream_commit(&o, n));
    done += n;
    EXPECT_EQ(hl_test::read_file(path).size() % FILE_OUT_STREAM_BUFFER_SIZE, 0u);
  }
  EXPECT_EQ(o.base.filePos, data.size());
  EXPECT_EQ(o.outLength, data.size());
  const TFileStreamHead* head = &o.base.head;
  ASSERT_TRUE(head->write(head, data.size(), data.data(), data.data() + 10));  // goes on
  hl_byte back[10];
  ASSERT_TRUE(head->read(head, data.size() - 5, back, back + 10));  // the held bytes too
  EXPECT_TRUE(std::equal(back, back + 5, data.end() - 5));
  EXPECT_TRUE(std::equal(back + 5, back + 10, data.begin()));
  EXPECT_TRUE(file_stream_close(&o.base));
  Bytes expected = data;
  expected.insert(expected.end(), data.begin(), data.begin() + 10);
  EXPECT_EQ(hl_test::read_file(path), expected);
}

TEST(FileOutStream, ASmallFileGetsASmallBuffer) {
  TempDir dir;
  TFileOutStream o{};
  ASSERT_TRUE(file_out_stream_open(&o, dir.file("out").c_str(), 1000));
  uint32_t room = 0;
  file_out_stream_space(&o, &room);
  EXPECT_EQ(room, 1000u);
  EXPECT_TRUE(file_stream_close(&o.base));
  // Up to 16 buffers of the full size, a sixteenth of the file, but not less than the smallest.
  constexpr uint32_t kFull = FILE_OUT_STREAM_BUFFER_SIZE;
  const std::pair<uint64_t, uint32_t> sizes[] = {{20000, FILE_STREAM_SCALED_MIN},
                                                 {567408, 32768},
                                                 {16 * kFull, kFull},
                                                 {uint64_t(3) << 32, kFull}};
  for (const auto& [declared, buffer] : sizes) {
    ASSERT_TRUE(file_out_stream_open(&o, dir.file("out").c_str(), declared));
    file_out_stream_space(&o, &room);
    EXPECT_EQ(room, buffer) << declared;
    EXPECT_TRUE(file_stream_close(&o.base));
  }
}

TEST(FileOutStream, AFailedBufferWriteIsReportedByTheCallerAndDropsTheBytes) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  TFileOutStream o{};
  ASSERT_TRUE(file_out_stream_open(&o, "/dev/full", 1u << 20));
  StdCapture capture(false);
  uint32_t room = 0;
  hl_byte* at = file_out_stream_space(&o, &room);
  std::memset(at, 1, room);
  errno = 0;
  EXPECT_FALSE(file_out_stream_commit(&o, room));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(o.base.filePos, FILE_STREAM_POS_UNKNOWN);
  EXPECT_TRUE(file_stream_close(&o.base));  // nothing left to write
  EXPECT_EQ(capture.finish().err, "");
  EXPECT_EQ(o.base.fileError, 0);
}

TEST(FileOutStream, MissingFolderFailsToOpen) {
  TempDir dir;
  TFileOutStream o{};
  StdCapture capture(false);
  EXPECT_FALSE(file_out_stream_open(&o, dir.file("no/such/out").c_str(), 1));
  EXPECT_EQ(capture.finish().err, error_line(ENOENT));
  EXPECT_EQ(o.base.file, nullptr);
}

TEST(FileStreamSameFile, RecognisesTheOpenFileUnderAnyName) {
  OpenedFile f(8);
  EXPECT_TRUE(file_stream_names_same_file(&f.stream.base, f.path.c_str()));
  std::string link = f.dir.file("link");
  ASSERT_EQ(::link(f.path.c_str(), link.c_str()), 0);
  EXPECT_TRUE(file_stream_names_same_file(&f.stream.base, link.c_str()));
  std::string other = f.dir.file("other");
  EXPECT_FALSE(file_stream_names_same_file(&f.stream.base, other.c_str()));  // absent
  hl_test::write_file(other, f.data);
  EXPECT_FALSE(file_stream_names_same_file(&f.stream.base, other.c_str()));  // equal content only
  TFileInStream closed{};
  EXPECT_FALSE(file_stream_names_same_file(&closed.base, f.path.c_str()));
}
