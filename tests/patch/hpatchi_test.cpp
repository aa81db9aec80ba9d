// The patch driver through the hpatchi program (exact trace, error lines and result codes): the
// cases shared with hpatchi.exe's suite (tests/support/hpatchi_cases.h) and those of Linux alone;
// and hpatchi_patch in process.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "patch/decompress/zlib_plugin.h"
#include "patch/hl_result.h"
#include "patch/hpatchi.h"
#include "patch/hpatchi_core.h"
#include "tests/support/file_io.h"
#include "tests/support/hpatchi_cases.h"
#include "tests/support/memory_io.h"
#include "tests/support/patch_writer.h"
#include "tests/support/process_capture.h"
#include "tests/support/test_data.h"
#include "tests/support/text_pattern.h"

using hl_test::Bytes;
using hl_test::Captured;
using hl_test::HeaderFields;
using hl_test::TempDir;
using hl_test::hpatchi_trace::error_line;
using hl_test::hpatchi_trace::paths_trace;
using hl_test::hpatchi_trace::sizes_trace;
using hl_test::hpatchi_trace::uncompressed_trace;

namespace {

const Bytes& kDigits = hl_test::hpatchi_example_old();
const Bytes& kExamplePatch = hl_test::hpatchi_example_patch();

// Splits off the time line, which must end every run; returns the rest.
std::string without_time_line(const std::string& out) {
  static const hl_test::TextPattern timeLine("\nhpatchi time: [0-9]+\\.[0-9]{3} s\n$");
  size_t at = 0;
  const bool found = timeLine.found_in(out, nullptr, &at);
  EXPECT_TRUE(found) << "no time line in:\n" << out;
  return found ? out.substr(0, at) : out;
}

Captured hpatchi(const std::string& oldPath, const std::string& diffPath,
                 const std::string& outPath, const hl_test::ChildOptions& options = {}) {
  return hl_test::run_program({HPATCHI_EXE, oldPath, diffPath, outPath}, options);
}

hl_test::ChildOptions FileSizeLimit(uint64_t bytes) {
  hl_test::ChildOptions options;
  options.fileSize = bytes;
  return options;
}

hl_test::ChildOptions AddressSpaceLimit(uint64_t bytes) {
  hl_test::ChildOptions options;
  options.addressSpace = bytes;
  return options;
}

struct Files {
  TempDir dir;
  std::string oldPath = dir.file("old");
  std::string diffPath = dir.file("patch");
  std::string newPath = dir.file("new");
  Files(const Bytes& oldData, const Bytes& patch) {
    hl_test::write_file(oldPath, oldData);
    hl_test::write_file(diffPath, patch);
  }
  bool new_exists() const { return std::filesystem::exists(newPath); }
};

Bytes with_header(uint8_t type, uint32_t newSize, const Bytes& rest, unsigned width = 1) {
  HeaderFields f;
  f.compressType = type;
  f.newSize = newSize;
  f.newSizeWidth = width;
  Bytes out = hl_test::make_header(f);
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

// The zlib plugin's memory need: the window plus the inflater state of the zlib in use.
std::string zlib_must(int windowBits) {
  Bytes prefix = {static_cast<uint8_t>(windowBits)};
  hl_test::MemoryReader reader(prefix);
  _zlib_TStream stream{};
  uint64_t must = 0;
  EXPECT_TRUE(
      _zlib_TStream_getReservedMemSize(&stream, &reader, hl_test::MemoryReader::read, 0, &must));
  EXPECT_GT(must, (1u << windowBits) + 7000u);  // at least the window and zlib's state
  return std::to_string(must);
}

bool sanitized_build() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

}  // namespace

// The shared cases, in a folder of their own as the working folder.
class HpatchiProgramCase : public ::testing::TestWithParam<hl_test::HpatchiCase> {};

TEST_P(HpatchiProgramCase, Runs) {
  const hl_test::HpatchiCase& k = GetParam();
  TempDir dir;
  const std::vector<std::string> args = k.prepare(dir.path(), SAMPLE_DIR);
  const hl_test::HpatchiOutcome want = k.outcome(args);
  std::vector<std::string> command{HPATCHI_EXE};
  command.insert(command.end(), args.begin(), args.end());
  hl_test::ChildOptions inFolder;
  inFolder.workingDirectory = dir.path().string();
  const Captured c = hl_test::run_program(command, inFolder);
  EXPECT_EQ(c.exitCode, want.code) << c.err;
  if (want.out) {
    EXPECT_EQ(want.timeLine ? without_time_line(c.out) : c.out, *want.out);
  }
  if (want.err) {
    EXPECT_EQ(c.err, *want.err);
  }
  k.check(dir.path(), SAMPLE_DIR);
}

INSTANTIATE_TEST_SUITE_P(Shared, HpatchiProgramCase, ::testing::ValuesIn(hl_test::hpatchi_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HpatchiProgram, HelpAndVersionGoToStandardOutput) {
  Captured help = hl_test::run_program({HPATCHI_EXE, "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind(hl_test::kHpatchiUsage, 0), 0u) << help.out;
  for (const char* item : {"\n  OLD ", "\n  PATCH ", "\n  NEW ", "\n  --help ", "\n  --version "})
    EXPECT_NE(help.out.find(item), std::string::npos) << item;
  // Each exit code with the engine's words for it, in order, however the lines break.
  std::string flowing = help.out;
  std::replace(flowing.begin(), flowing.end(), '\n', ' ');
  size_t at = 0;
  for (const char* item : {"0 when NEW was written", "1 for wrong arguments",
                           "3 OLD or PATCH cannot be opened", "4 NEW cannot be opened",
                           "5 OLD cannot be read (also when it is shorter than the patch needs)",
                           "6 NEW cannot be written in full", "8 a file cannot be closed",
                           "9 not enough memory", "10 unknown compression",
                           "11 invalid decompressor settings", "12 the decompressor cannot start",
                           "13 the zlib decompressor cannot end", "20 not a patch (invalid header)",
                           "21 the patch failed otherwise (a damaged body, or old bytes asked for "
                           "with no old file)."}) {
    at = flowing.find(item, at);
    EXPECT_NE(at, std::string::npos) << item;
  }
  EXPECT_EQ(std::string(hl_result_text(HPATCHI_PATCH_ENDED)), "PATCH ended before the patch did");
  EXPECT_EQ(std::string(hl_result_text(HPATCHI_PATCH_READ_ERROR)), "PATCH cannot be read");
  for (int unknown : {-1, 2, 7, 14, 19, 24}) EXPECT_EQ(hl_result_text(unknown), nullptr) << unknown;
  Captured version = hl_test::run_program({HPATCHI_EXE, "--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "hpatchi " QR_VERSION "\n");
  EXPECT_EQ(version.err, "");
}

TEST(HpatchiProgram, EmptyOldPathWithALiteralOnlyPatch) {
  hl_test::PatchBuilder b({});
  b.literal({'n', 'e', 'w'});
  Files f({}, b.patch());
  Captured c = hpatchi("", f.diffPath, f.newPath);
  EXPECT_EQ(c.exitCode, HPATCHI_OK);
  EXPECT_EQ(without_time_line(c.out), paths_trace("", f.diffPath, f.newPath) +
                                          sizes_trace(0, b.patch().size()) + uncompressed_trace(3) +
                                          "  patch ok!\n");
  EXPECT_EQ(hl_test::read_file(f.newPath), (Bytes{'n', 'e', 'w'}));
}

TEST(HpatchiProgram, EmptyOldPathWithAPatchThatNeedsOldBytes) {
  Files f(kDigits, kExamplePatch);
  Captured c = hpatchi("", f.diffPath, f.newPath);
  EXPECT_EQ(c.exitCode, HPATCHI_PATCH_ERROR);
  EXPECT_EQ(without_time_line(c.out),
            paths_trace("", f.diffPath, f.newPath) + sizes_trace(0, 22) + uncompressed_trace(11));
  EXPECT_EQ(c.err, "hpatch_lite_patch() run ERROR!\nhpatchi_patch() run ERROR!\n");
  EXPECT_EQ(hl_test::read_file(f.newPath), (Bytes{'a', 'b'}));  // left as far as written
}

TEST(HpatchiProgram, CoverBeyondTheOldFileIsAnOldReadError) {
  Files f({'0', '1', '2', '3', '4'}, kExamplePatch);
  Captured c = hpatchi(f.oldPath, f.diffPath, f.newPath);
  EXPECT_EQ(c.exitCode, HPATCHI_OLD_READ_ERROR);
  EXPECT_EQ(c.err, error_line(EFBIG) + "hpatch_lite_patch() run ERROR!\noldFile read ERROR!\n");
  EXPECT_EQ(without_time_line(c.out), paths_trace(f.oldPath, f.diffPath, f.newPath) +
                                          sizes_trace(5, 22) + uncompressed_trace(11));
}

TEST(HpatchiProgram, InvalidHeadersGiveCode20AndNoNewFile) {
  const Bytes bad[] = {{0x68, 0x49, 0x00}, {0x68, 0x48, 0x00, 0x41, 0x00}, {}};
  for (const Bytes& patch : bad) {
    Files f(kDigits, patch);
    Captured c = hpatchi(f.oldPath, f.diffPath, f.newPath);
    EXPECT_EQ(c.exitCode, HPATCHI_HEADER_ERROR);
    EXPECT_EQ(c.err, "hpatch_lite_open() run ERROR!\n");
    EXPECT_EQ(without_time_line(c.out),
              paths_trace(f.oldPath, f.diffPath, f.newPath) + sizes_trace(10, patch.size()));
    EXPECT_FALSE(f.new_exists());
  }
}

TEST(HpatchiProgram, UnknownCompressTypeGivesCode10AfterCreatingTheNewFile) {
  for (uint8_t type : {7, 5, 255}) {
    Files f(kDigits, with_header(type, 3, {0x00}));
    Captured c = hpatchi(f.oldPath, f.diffPath, f.newPath);
    EXPECT_EQ(c.exitCode, HPATCHI_COMPRESS_TYPE_ERROR);
    EXPECT_EQ(c.err, "unknow compress_type \"" + std::to_string(type) +
                         "\" ERROR!\ndiff info ERROR!\nhpatchi_patch() run ERROR!\n");
    EXPECT_EQ(without_time_line(c.out), paths_trace(f.oldPath, f.diffPath, f.newPath) +
                                            sizes_trace(10, 6) + "newDataSize : 3\n");
    ASSERT_TRUE(f.new_exists());
    EXPECT_EQ(std::filesystem::file_size(f.newPath), 0u);
  }
}

TEST(HpatchiProgram, UnwritableNewFileGivesCode4) {
  Files f(kDigits, kExamplePatch);
  std::string out = f.dir.file("no-folder/new");
  Captured c = hpatchi(f.oldPath, f.diffPath, out);
  EXPECT_EQ(c.exitCode, HPATCHI_OPEN_WRITE_ERROR);
  EXPECT_EQ(c.err, error_line(ENOENT) + "open out newFile for write ERROR!\n");
  EXPECT_EQ(without_time_line(c.out),
            paths_trace(f.oldPath, f.diffPath, out) + sizes_trace(10, 22) + "newDataSize : 11\n");
}

// The new file named as the old one is a shared case; here it is the patch under another name.
TEST(HpatchiProgram, NewFileThatIsThePatchIsNeverTruncated) {
  Files f(kDigits, kExamplePatch);
  std::string link = f.dir.file("patch-link");
  ASSERT_EQ(::link(f.diffPath.c_str(), link.c_str()), 0);
  Captured c = hpatchi(f.oldPath, f.diffPath, link);
  EXPECT_EQ(c.exitCode, HPATCHI_OPEN_WRITE_ERROR);
  EXPECT_EQ(hl_test::read_file(f.diffPath), kExamplePatch);
}

TEST(HpatchiProgram, CloseFailureAfterSuccessGivesCode8) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  Files f(kDigits, kExamplePatch);
  Captured c = hpatchi(f.oldPath, f.diffPath, "/dev/full");
  EXPECT_EQ(c.exitCode, HPATCHI_CLOSE_ERROR);
  EXPECT_EQ(without_time_line(c.out), paths_trace(f.oldPath, f.diffPath, "/dev/full") +
                                          sizes_trace(10, 22) + uncompressed_trace(11) +
                                          "  patch ok!\n");
  EXPECT_EQ(c.err, error_line(ENOSPC) + "out newFile close ERROR!\n");
}

TEST(HpatchiProgram, ShortWriteGivesCode6) {
  // The new file may grow to 10000 bytes only; its writes of up to 16384 bytes fail short.
  Bytes old = hl_test::random_bytes(100000, 21);
  hl_test::PatchBuilder b(old);
  b.copy(0, 100000);
  Files f(old, b.patch());
  Captured c = hpatchi(f.oldPath, f.diffPath, f.newPath, FileSizeLimit(10000));
  EXPECT_EQ(c.exitCode, HPATCHI_WRITE_ERROR);
  EXPECT_EQ(c.err, "hpatch_lite_patch() run ERROR!\npatchListener ERROR!\n");
  EXPECT_EQ(without_time_line(c.out), paths_trace(f.oldPath, f.diffPath, f.newPath) +
                                          sizes_trace(100000, b.patch().size()) +
                                          uncompressed_trace(100000));
  EXPECT_LE(std::filesystem::file_size(f.newPath), 10000u);
}

TEST(HpatchiProgram, ShortWriteOnAFullDeviceGivesCode6) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  Bytes old = hl_test::random_bytes(200000, 22);  // well past the new file's stdio buffer
  hl_test::PatchBuilder b(old);
  b.copy(0, 200000);
  Files f(old, b.patch());
  Captured c = hpatchi(f.oldPath, f.diffPath, "/dev/full");
  EXPECT_EQ(c.exitCode, HPATCHI_WRITE_ERROR);
  EXPECT_EQ(c.err, "hpatch_lite_patch() run ERROR!\npatchListener ERROR!\n");
}

// Covers of a few bytes that jump about OLD, with difference bytes and without: the way a patch of
// short covers reads and writes must give what long covers give, also when the writes fail.
hl_test::PatchBuilder short_covers(const Bytes& old, uint32_t count, uint32_t longest) {
  hl_test::PatchBuilder b(old);
  uint32_t x = 12345;
  for (uint32_t i = 0; i < count; ++i) {
    x = x * 1103515245u + 12345u;
    uint32_t length = 1 + (x >> 8) % longest;
    uint32_t at = (x >> 4) % (static_cast<uint32_t>(old.size()) - length);
    if (i % 3 == 0) {
      b.copy(at, length);
    } else {
      Bytes changed(old.begin() + at, old.begin() + at + length);
      changed[0] = static_cast<uint8_t>(changed[0] ^ 0x5A);
      b.cover(at, changed, false);
    }
    if (i % 7 == 0) b.literal({static_cast<uint8_t>(i), 1, 2});
  }
  return b;
}

TEST(HpatchiProgram, ShortCoversApply) {
  Bytes old = hl_test::random_bytes(300000, 23);
  hl_test::PatchBuilder b = short_covers(old, 30000, 20);  // chunks on both sides of 16 bytes
  Files f(old, b.patch());
  Captured c = hpatchi(f.oldPath, f.diffPath, f.newPath);
  ASSERT_EQ(c.exitCode, HPATCHI_OK) << c.err;
  EXPECT_EQ(hl_test::read_file(f.newPath), b.new_data());
}

TEST(HpatchiProgram, ShortWritesOfShortCoversGiveCode6) {
  // Chunks of at most 8 bytes, each a write of its own; the failed one must end the patch.
  Bytes old = hl_test::random_bytes(300000, 24);
  hl_test::PatchBuilder b = short_covers(old, 30000, 8);
  Files f(old, b.patch());
  Captured c = hpatchi(f.oldPath, f.diffPath, f.newPath, FileSizeLimit(10000));
  EXPECT_EQ(c.exitCode, HPATCHI_WRITE_ERROR);
  EXPECT_EQ(c.err, "hpatch_lite_patch() run ERROR!\npatchListener ERROR!\n");
  EXPECT_EQ(without_time_line(c.out), paths_trace(f.oldPath, f.diffPath, f.newPath) +
                                          sizes_trace(old.size(), b.patch().size()) +
                                          uncompressed_trace(b.new_data().size()));
  Bytes written = hl_test::read_file(f.newPath);
  EXPECT_LE(written.size(), 10000u);
  EXPECT_TRUE(std::equal(written.begin(), written.end(), b.new_data().begin()));
  if (access("/dev/full", W_OK) == 0) {
    c = hpatchi(f.oldPath, f.diffPath, "/dev/full");
    EXPECT_EQ(c.exitCode, HPATCHI_WRITE_ERROR);
    EXPECT_EQ(c.err, "hpatch_lite_patch() run ERROR!\npatchListener ERROR!\n");
  }
}

TEST(HpatchiProgram, PrefixErrorsGiveCode11) {
  struct Case {
    uint8_t type;
    Bytes prefix;
    std::string name;
    std::string line;
  };
  const std::string tuzLine = "tuz_TStream_read_dict_size() dict size ERROR!\n";
  const std::string zlibLine = "_zlib_TStream_getReservedMemSize() ERROR!\n";
  const std::string lzmaLine = "_lzma_TStream_getReservedMemSize() ERROR!\n";
  const Case cases[] = {
      {1, {0, 0, 0, 0}, "tuz", tuzLine},
      {1, {1, 0, 0, 0x40}, "tuz", tuzLine},  // 2^30 + 1
      {1, {0x10, 0}, "tuz", tuzLine},        // cut short
      {2, {8}, "zlib", zlibLine},
      {2, {16}, "zlib", zlibLine},
      {2, {24}, "zlib", zlibLine},
      {2, {}, "zlib", zlibLine},
      {3, {0}, "lzma", lzmaLine},
      {3, {9}, "lzma", lzmaLine},
      {3, {5, 0x5D, 0, 0}, "lzma", lzmaLine},  // ends inside the properties
  };
  for (const Case& k : cases) {
    Files f(kDigits, with_header(k.type, 4, k.prefix));
    Captured c = hpatchi(f.oldPath, f.diffPath, f.newPath);
    EXPECT_EQ(c.exitCode, HPATCHI_DECOMPRESSER_INFO_ERROR) << k.name;
    EXPECT_EQ(c.err, k.line + "hpatchi_patch() run ERROR!\n") << k.name;
    EXPECT_EQ(without_time_line(c.out),
              paths_trace(f.oldPath, f.diffPath, f.newPath) + sizes_trace(10, 5 + k.prefix.size()) +
                  "newDataSize : 4\nhpatchi run with decompresser: \"" + k.name + "\"\n")
        << k.name;
  }
}

TEST(HpatchiProgram, ZlibWindowBitsThatZlibRefusesGiveCode12) {
  Files f(kDigits, with_header(2, 4, {static_cast<uint8_t>(-25)}));
  Captured c = hpatchi(f.oldPath, f.diffPath, f.newPath);
  EXPECT_EQ(c.exitCode, HPATCHI_DECOMPRESSER_OPEN_ERROR);
  EXPECT_EQ(c.err, "_zlib_TStream_open() ERROR!\nhpatchi_patch() run ERROR!\n");
  EXPECT_EQ(without_time_line(c.out), paths_trace(f.oldPath, f.diffPath, f.newPath) +
                                          sizes_trace(10, 6) +
                                          "newDataSize : 4\n"
                                          "hpatchi run with decompresser: \"zlib\"\n"
                                          "  requirements memory size: (must) " +
                                          zlib_must(9) + " + (cache) 32768\n");
}

TEST(HpatchiProgram, MemoryLineShowsTheCacheForEveryType) {
  struct Case {
    uint8_t type;
    Bytes prefix;
    std::string name;
    std::string must;  // empty: decoder-specific, only checked to be a number
  };
  const Case cases[] = {
      {1, {0x00, 0x10, 0x00, 0x00}, "tuz", "4096"},
      {1, {0x00, 0x00, 0x01, 0x00}, "tuz", "65536"},
      {2, {15}, "zlib", zlib_must(15)},
      {2, {31}, "zlib", zlib_must(15)},
      {2, {static_cast<uint8_t>(-15)}, "zlib", zlib_must(15)},
      {2, {9}, "zlib", zlib_must(9)},
      {3, {5, 0x5D, 0x00, 0x10, 0x00, 0x00}, "lzma", ""},
      {4, {0x00}, "lzma2", ""},
  };
  for (const Case& k : cases) {
    Files f(kDigits, with_header(k.type, 4, k.prefix));
    Captured c = hpatchi(f.oldPath, f.diffPath, f.newPath);
    std::string prefix = paths_trace(f.oldPath, f.diffPath, f.newPath) +
                         sizes_trace(10, 5 + k.prefix.size()) + "newDataSize : 4\n" +
                         "hpatchi run with decompresser: \"" + k.name + "\"\n";
    std::string out = without_time_line(c.out);
    ASSERT_EQ(out.substr(0, prefix.size()), prefix) << k.name;
    std::string rest = out.substr(prefix.size());
    std::vector<std::string> m;
    ASSERT_TRUE(hl_test::TextPattern("  requirements memory size: \\(must\\) ([0-9]+) \\+ "
                                     "\\(cache\\) 32768\n")
                    .matches(rest, &m))
        << k.name << ": " << rest;
    if (!k.must.empty()) {
      EXPECT_EQ(m[1], k.must) << k.name;
    }
    EXPECT_NE(m[1], "0") << k.name;
    // No body follows the prefix, so the patch itself fails.
    EXPECT_EQ(c.exitCode, HPATCHI_PATCH_ERROR) << k.name << "\n" << c.err;
    EXPECT_EQ(c.err, "hpatch_lite_patch() run ERROR!\nhpatchi_patch() run ERROR!\n") << k.name;
  }
}

TEST(HpatchiProgram, AllocationFailureGivesCode9) {
  if (sanitized_build()) GTEST_SKIP() << "an address-space limit does not mix with the sanitizer";
  Files f(kDigits, with_header(1, 4, {0x00, 0x00, 0x00, 0x40}));  // a 1 GiB dictionary
  Captured c = hpatchi(f.oldPath, f.diffPath, f.newPath, AddressSpaceLimit(256u << 20));
  EXPECT_EQ(c.exitCode, HPATCHI_ALLOC_ERROR);
  EXPECT_EQ(c.err, "alloc cache memory ERROR!\nhpatchi_patch() run ERROR!\n");
  EXPECT_EQ(without_time_line(c.out),
            paths_trace(f.oldPath, f.diffPath, f.newPath) + sizes_trace(10, 9) +
                "newDataSize : 4\nhpatchi run with decompresser: \"tuz\"\n"
                "  requirements memory size: (must) 1073741824 + (cache) 32768\n");
}

// The outcome tells a patch file that ended too soon from a malformed patch; the code stays.
TEST(HpatchiRun, OutcomeSaysWhenThePatchFileEndedTooSoon) {
  const Bytes old = hl_test::random_bytes(50000, 41);
  const Bytes whole = hl_test::make_patch(old, hl_test::mutate(old, 42), 43);
  Bytes wrongMagic = whole;
  wrongMagic[0] = 'X';
  // A tuz body of "abc" whose stream ends before its end code.
  const Bytes cutTuz =
      with_header(1, 3, {0x00, 0x10, 0x00, 0x00, 0x7F, 0x01, 0x00, 0x00, 0x03, 'a'});
  struct Case {
    const char* name;
    Bytes patch;
    int code;
    int cause;
  };
  const Case cases[] = {
      {"whole", whole, HPATCHI_OK, HPATCHI_CAUSE_NONE},
      {"half", Bytes(whole.begin(), whole.begin() + whole.size() / 2), HPATCHI_PATCH_ERROR,
       HPATCHI_PATCH_ENDED},
      {"three bytes", Bytes(whole.begin(), whole.begin() + 3), HPATCHI_HEADER_ERROR,
       HPATCHI_PATCH_ENDED},
      {"empty", {}, HPATCHI_HEADER_ERROR, HPATCHI_PATCH_ENDED},
      {"cut tuz stream", cutTuz, HPATCHI_PATCH_ERROR, HPATCHI_PATCH_ENDED},
      {"cut tuz prefix", with_header(1, 3, {0x00, 0x10}), HPATCHI_DECOMPRESSER_INFO_ERROR,
       HPATCHI_PATCH_ENDED},
      {"wrong magic", wrongMagic, HPATCHI_HEADER_ERROR, HPATCHI_CAUSE_NONE},
      {"cover beyond the old file", kExamplePatch, HPATCHI_OLD_READ_ERROR, HPATCHI_CAUSE_NONE},
  };
  const hpatchi_TOutput silent = {nullptr, nullptr};
  for (const Case& entry : cases) {
    SCOPED_TRACE(entry.name);
    const bool shortOld = entry.patch == kExamplePatch;
    Files f(shortOld ? Bytes{'0', '1', '2', '3', '4'} : old, entry.patch);
    const hpatchi_TOutcome outcome = hpatchi_run_outcome(&silent, nullptr, f.oldPath.c_str(),
                                                         f.diffPath.c_str(), f.newPath.c_str());
    EXPECT_EQ(outcome.code, entry.code);
    EXPECT_EQ(outcome.cause, entry.cause);
    // A caller that read the header first hands it over; the run goes on from its end, whatever
    // the patch's handle has read meanwhile, and comes to the same.
    hl_test::MemoryReader reader(entry.patch);
    hpatchi_TMemoryNeed need;
    if (hpatchi_memory_need(&reader, hl_test::MemoryReader::read, HPATCHI_CACHE_SIZE, &need) !=
        HPATCHI_OK)
      continue;
    const Bytes firstRun = hl_test::read_file(f.newPath);
    std::filesystem::remove(f.newPath);
    hpatchi_TOpenFiles read = {nullptr, std::fopen(f.diffPath.c_str(), "rb"), nullptr};
    std::fseek(read.diffFile, 0, SEEK_END);
    const hpatchi_TOutcome after = hpatchi_run_after_header(
        &silent, &read, &need, f.oldPath.c_str(), f.diffPath.c_str(), f.newPath.c_str());
    EXPECT_EQ(after.code, entry.code);
    EXPECT_EQ(after.cause, entry.cause);
    EXPECT_EQ(hl_test::read_file(f.newPath), firstRun);
  }

  // Handles the caller opened are read and written whatever the paths name, and closed by the run.
  Files f(old, whole);
  hpatchi_TOpenFiles files = {std::fopen(f.oldPath.c_str(), "rb"),
                              std::fopen(f.diffPath.c_str(), "rb"),
                              std::fopen(f.newPath.c_str(), "w+b")};
  std::filesystem::remove(f.diffPath);
  EXPECT_EQ(hpatchi_run_outcome(&silent, &files, "old", "gone", "new").code, HPATCHI_OK);
  EXPECT_EQ(hl_test::read_file(f.newPath), hl_test::mutate(old, 42));

  // A patch whose reads fail (a stream with a size but no descriptor) is unreadable, not malformed.
  struct Unreadable {
    off64_t size;
    off64_t at;
  } unreadable{static_cast<off64_t>(whole.size()), 0};
  cookie_io_functions_t io = {};
  io.read = [](void*, char*, size_t) -> ssize_t {
    errno = EIO;
    return -1;
  };
  io.seek = [](void* cookie, off64_t* offset, int whence) {
    auto* file = static_cast<Unreadable*>(cookie);
    file->at = *offset + (whence == SEEK_END ? file->size : whence == SEEK_CUR ? file->at : 0);
    *offset = file->at;
    return 0;
  };
  hpatchi_TOpenFiles failing = {nullptr, fopencookie(&unreadable, "rb", io), nullptr};
  const hpatchi_TOutcome outcome =
      hpatchi_run_outcome(&silent, &failing, f.oldPath.c_str(), "unreadable", f.newPath.c_str());
  EXPECT_EQ(outcome.code, HPATCHI_HEADER_ERROR);
  EXPECT_EQ(outcome.cause, HPATCHI_PATCH_READ_ERROR);
}

TEST(HpatchiProgram, RoundTripOfAMebibytePair) {
  Bytes old = hl_test::random_bytes((1u << 20) + 333, 31);
  Bytes fresh = hl_test::mutate(old, 32);
  Bytes patch = hl_test::make_patch(old, fresh, 33);
  Files f(old, patch);
  Captured c = hpatchi(f.oldPath, f.diffPath, f.newPath);
  ASSERT_EQ(c.exitCode, HPATCHI_OK) << c.err;
  EXPECT_EQ(hl_test::read_file(f.newPath), fresh);
}

// ---- in process ----

TEST(HpatchiRun, NullOldPathMeansNoOldFile) {
  hl_test::PatchBuilder b({});
  b.literal({'x'});
  Files f({}, b.patch());
  hl_test::StreamCapture capture;
  const hpatchi_TOutput output = {capture.out(), capture.err()};
  int code = hpatchi_run_to(&output, nullptr, f.diffPath.c_str(), f.newPath.c_str());
  Captured c = capture.text();
  EXPECT_EQ(code, HPATCHI_OK);
  EXPECT_EQ(without_time_line(c.out), paths_trace("", f.diffPath, f.newPath) +
                                          sizes_trace(0, b.patch().size()) + uncompressed_trace(1) +
                                          "  patch ok!\n");
  EXPECT_EQ(hl_test::read_file(f.newPath), (Bytes{'x'}));
}

// Null streams print nothing anywhere, also when the patch fails; the error lines go to the error
// stream alone.
TEST(HpatchiRun, NullStreamsPrintNothing) {
  hl_test::PatchBuilder b(kDigits);
  b.copy(0, 10);
  Files good(kDigits, b.patch());
  Files unknownType(kDigits, with_header(7, 10, b.body()));
  const hpatchi_TOutput silent = {nullptr, nullptr};
  hl_test::StreamCapture errors;
  const hpatchi_TOutput errorsOnly = {nullptr, errors.err()};
  hl_test::StdCapture capture;  // fd 1 and 2, to see that nothing reaches them
  const int goodCode =
      hpatchi_run_to(&silent, good.oldPath.c_str(), good.diffPath.c_str(), good.newPath.c_str());
  const int silentCode = hpatchi_run_to(&silent, unknownType.oldPath.c_str(),
                                        unknownType.diffPath.c_str(), unknownType.newPath.c_str());
  const int errorsCode = hpatchi_run_to(&errorsOnly, unknownType.oldPath.c_str(),
                                        unknownType.diffPath.c_str(), unknownType.newPath.c_str());
  Captured c = capture.finish();
  EXPECT_EQ(goodCode, HPATCHI_OK);
  EXPECT_EQ(hl_test::read_file(good.newPath), kDigits);
  EXPECT_EQ(silentCode, HPATCHI_COMPRESS_TYPE_ERROR);
  EXPECT_EQ(errorsCode, HPATCHI_COMPRESS_TYPE_ERROR);
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(c.err, "");
  EXPECT_EQ(errors.text().err,
            "unknow compress_type \"7\" ERROR!\ndiff info ERROR!\n"
            "hpatchi_patch() run ERROR!\n");
  EXPECT_EQ(errors.text().out, "");
}

TEST(HpatchiPatch, SplitsTheCacheAndRestoresTheReader) {
  // Type 0 uses all of S; the listener's reader is the raw one again afterwards.
  hl_test::PatchBuilder b(kDigits);
  b.copy(0, 10);
  Bytes body = b.body();
  for (uint32_t cacheSize : {2u, 3u, 32768u}) {
    hl_test::MemoryReader reader(body);
    hl_test::MemoryListener listener(kDigits, reader);
    hl_test::StreamCapture capture;
    const hpatchi_TOutput output = {capture.out(), capture.err()};
    int code = hpatchi_patch_to(&output, &listener.base, 0, 10, 0, cacheSize);
    Captured c = capture.text();
    EXPECT_EQ(code, HPATCHI_OK) << cacheSize;
    EXPECT_EQ(c.out,
              "hpatchi run with decompresser: \"\"\n  requirements memory size: (must) 0 + "
              "(cache) " +
                  std::to_string(cacheSize) + "\n");
    EXPECT_EQ(listener.newData, kDigits);
    EXPECT_EQ(listener.base.diffHandle, &reader);
    EXPECT_EQ(listener.base.readDiff, &hl_test::MemoryReader::read);
    for (uint32_t s : listener.readSizes) EXPECT_LE(s, cacheSize / 2);
  }
}

TEST(HpatchiPatch, TinyCachesFailCleanlyForEveryType) {
  for (uint32_t cacheSize : {0u, 1u}) {
    Bytes body = {0x00};
    hl_test::MemoryReader reader(body);
    hl_test::MemoryListener listener(kDigits, reader);
    hl_test::StreamCapture capture;
    const hpatchi_TOutput output = {capture.out(), capture.err()};
    int code = hpatchi_patch_to(&output, &listener.base, 0, 0, 0, cacheSize);
    Captured c = capture.text();
    EXPECT_EQ(code, HPATCHI_PATCH_ERROR);
    EXPECT_EQ(c.err, "hpatch_lite_patch() run ERROR!\n");
  }
  // A compressed type with S below 4: I = 1 and nothing is left for the patch cache.
  Bytes prefix = {0x00, 0x10, 0x00, 0x00};
  hl_test::MemoryReader reader(prefix);
  hl_test::MemoryListener listener(kDigits, reader);
  hl_test::StreamCapture capture;
  const hpatchi_TOutput output = {capture.out(), capture.err()};
  int code = hpatchi_patch_to(&output, &listener.base, 1, 0, 0, 1);
  Captured c = capture.text();
  EXPECT_EQ(code, HPATCHI_PATCH_ERROR);
  EXPECT_EQ(c.out,
            "hpatchi run with decompresser: \"tuz\"\n  requirements memory size: (must) "
            "4096 + (cache) 1\n");
}

TEST(HpatchiPatch, TuzBodyIsDecodedThroughThePlugin) {
  // Body: one empty cover whose literal run is "abc" (7 bytes), sent as 7 tuz literals.
  Bytes body = {0x01, 0x00, 0x00, 0x03, 'a', 'b', 'c'};
  Bytes stream = {0x00, 0x10, 0x00, 0x00};  // dictionary size 4096
  stream.push_back(0x7F);  // flag bits: seven literals, then 0 (a control token follows)
  stream.insert(stream.end(), body.begin(), body.end());
  // Length code 3 (groups 0 with more, 1 without), reuse bit 0, then distance byte 0: the end.
  stream.push_back(0x06);
  stream.push_back(0x00);
  hl_test::MemoryReader reader(stream);
  hl_test::MemoryListener listener({}, reader);
  hl_test::StreamCapture capture;
  const hpatchi_TOutput output = {capture.out(), capture.err()};
  int code = hpatchi_patch_to(&output, &listener.base, 1, 3, 0, 32768);
  Captured c = capture.text();
  EXPECT_EQ(code, HPATCHI_OK) << c.err;
  EXPECT_EQ(c.out,
            "hpatchi run with decompresser: \"tuz\"\n  requirements memory size: (must) "
            "4096 + (cache) 32768\n");
  EXPECT_EQ(listener.newData, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(listener.base.diffHandle, &reader);
}
