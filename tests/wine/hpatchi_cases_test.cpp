// End-to-end cases of hpatchi.exe under Wine: the cases shared with the Linux suite
// (tests/support/hpatchi_cases.h) and those of Windows alone; tests/windows/CMakeLists.txt
// registers each as a CTest test of its own. What hpatchi.exe must print is what the Linux
// program prints, as the shared case pins it or else as the patch driver prints it in this
// process for the same files and command line, changed only where Windows differs: CR LF line
// ends, the zlib inflater's state, the C runtime's rendering of paths, and path rules of its own.
// The patches come from the Linux mkpatch. From CTest: QR_WINE, QR_HPATCHI_EXE, QR_MKPATCH,
// QR_SAMPLE_DIR and QR_WORK, the case's folder.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "patch/hpatch_lite_format.h"
#include "patch/hpatchi_core.h"
#include "tests/support/file_io.h"
#include "tests/support/hpatchi_cases.h"
#include "tests/support/process_capture.h"
#include "tests/support/test_data.h"
#include "tests/support/text_pattern.h"
#include "tests/wine/wine_run.h"

namespace fs = std::filesystem;
using hl_test::Bytes;
using hl_test::Captured;

namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0')
    throw std::runtime_error(std::string(name) + " is not set");
  return value;
}

fs::path sample(const std::string& name) { return fs::path(environment("QR_SAMPLE_DIR")) / name; }

// Windows' stdio writes text-mode streams: every "\n" arrives as "\r\n".
std::string crlf(const std::string& text) {
  std::string result;
  for (char c : text) {
    if (c == '\n') result += '\r';
    result += c;
  }
  return result;
}

// The trace without its time line, which must be its last line and end in three decimals; none
// when that line is missing. lineEnd is "\r" for the Windows build.
std::optional<std::string> without_time_line(const std::string& trace, const std::string& lineEnd) {
  if (trace.size() < 2 || trace.back() != '\n') return std::nullopt;
  const size_t previousEnd = trace.rfind('\n', trace.size() - 2);
  const size_t start = previousEnd == std::string::npos ? 0 : previousEnd + 1;
  const hl_test::TextPattern timeLine("hpatchi time: [0-9]+\\.[0-9]{3} s" + lineEnd + "\n");
  if (!timeLine.matches(trace.substr(start))) return std::nullopt;
  return trace.substr(0, start);
}

// hpatchi.exe in folder dir with the arguments.
Captured run_exe(const fs::path& dir, const std::vector<std::string>& args) {
  std::vector<std::string> command{environment("QR_HPATCHI_EXE")};
  command.insert(command.end(), args.begin(), args.end());
  hl_test::ChildOptions options;
  options.workingDirectory = dir.string();
  return hl_test::run_under_wine(command, options);
}

// The patch driver in this process, on a copy of folder dir (dir.linux) as its working folder,
// so that the Windows run meets the files untouched. The file streams print their lines about a
// failed system call to standard error, so the driver's error lines go there too, in order.
Captured run_in_process(const fs::path& dir, const std::array<std::string, 3>& args) {
  const fs::path copy = dir.string() + ".linux";
  fs::remove_all(copy);
  fs::copy(dir, copy, fs::copy_options::recursive);
  const fs::path saved = fs::current_path();
  fs::current_path(copy);
  hl_test::StreamCapture trace;
  const hpatchi_TOutput output = {trace.out(), stderr};
  hl_test::StdCapture errors(false);
  Captured result;
  result.exitCode = hpatchi_run_to(&output, args[0].c_str(), args[1].c_str(), args[2].c_str());
  result.err = errors.finish().err;
  result.out = trace.text().out;
  fs::current_path(saved);
  return result;
}

// What the Windows run must print, in LF; the check makes it CR LF.
struct Expected {
  int code;
  std::string out;  // without the time line
  std::string err;
};

Expected expected_from(const Captured& inProcess) {
  std::optional<std::string> trace = without_time_line(inProcess.out, "");
  if (!trace) throw std::runtime_error("the in-process trace has no time line:\n" + inProcess.out);
  return {inProcess.exitCode, *trace, inProcess.err};
}

// Checks hpatchi.exe's run against want: exit code, stdout without its time line, and stderr.
void check_run(const Captured& got, const Expected& want) {
  ASSERT_EQ(got.exitCode, want.code) << "stderr: " << got.err;
  const std::optional<std::string> trace = without_time_line(got.out, "\r");
  ASSERT_TRUE(trace) << "no time line at the end of stdout:\n" << got.out;
  EXPECT_EQ(*trace, crlf(want.out));
  EXPECT_EQ(got.err, crlf(want.err));
}

// Text with `from` replaced by `to` in its line number `line` (from 0), which must hold it.
std::string replaced_in_line(std::string text, size_t line, const std::string& from,
                             const std::string& to) {
  size_t start = 0;
  for (size_t i = 0; i < line && start != std::string::npos; ++i) {
    start = text.find('\n', start);
    if (start != std::string::npos) ++start;
  }
  const size_t at = start == std::string::npos ? start : text.find(from, start);
  if (at == std::string::npos || at >= text.find('\n', start)) {
    throw std::runtime_error("line " + std::to_string(line + 1) + " does not hold " + from + ":\n" +
                             text);
  }
  return text.replace(at, from.size(), to);
}

// ---- the driver's memory figure and the patch fields behind it ----

constexpr const char* kMustLine = "\n  requirements memory size: (must) ";

// The figure's digits in a trace: where they start and how many there are.
std::pair<size_t, size_t> must_digits(const std::string& trace) {
  const size_t line = trace.find(kMustLine);
  if (line == std::string::npos) throw std::runtime_error("no memory line in the trace:\n" + trace);
  const size_t start = line + std::strlen(kMustLine);
  return {start, trace.find_first_not_of("0123456789", start) - start};
}

std::string must_of(const std::string& trace) {
  const auto [start, length] = must_digits(trace);
  return trace.substr(start, length);
}

std::string with_must(std::string trace, uint64_t must) {
  const auto [start, length] = must_digits(trace);
  return trace.replace(start, length, std::to_string(must));
}

// Offset of the decompressor prefix: after magic, type, the size-widths byte and the two sizes.
size_t prefix_offset(const Bytes& patch) {
  const unsigned widths = patch.at(3);
  return 4 + (widths & HPATCH_LITE_WIDTH_MASK) +
         ((widths >> HPATCH_LITE_UNCOMPRESS_WIDTH_SHIFT) & HPATCH_LITE_WIDTH_MASK);
}

// The tuz plugin's memory: the dictionary size at the head of the stream.
uint64_t tuz_must(const Bytes& patch) {
  const size_t at = prefix_offset(patch);
  uint64_t size = 0;
  for (size_t i = 0; i < TUZ_DICT_SIZE_BYTES; ++i) size |= uint64_t{patch.at(at + i)} << (8 * i);
  return size;
}

// The zlib plugin's memory: the window 2^w plus the 7152 bytes of the inflater's state on
// Windows x64 (Linux' larger longs make it 7160 there).
uint64_t zlib_must(const Bytes& patch) {
  int bits = std::abs(static_cast<int8_t>(patch.at(prefix_offset(patch))));
  if (bits > 15) bits -= 16;
  return (uint64_t{1} << bits) + 7152;
}

// mkpatch's patch from old to neu with the compression method.
Bytes make_patch(const fs::path& dir, const Bytes& old, const Bytes& neu,
                 const std::string& method) {
  fs::create_directories(dir);
  hl_test::write_file(dir / "old", old);
  hl_test::write_file(dir / "new", neu);
  const fs::path patch = dir / ("patch." + method);
  const Captured made =
      hl_test::run_program({environment("QR_MKPATCH"), "-q", "-c", method, (dir / "old").string(),
                            (dir / "new").string(), patch.string()});
  if (made.exitCode != 0) throw std::runtime_error("mkpatch -c " + method + " failed: " + made.err);
  return hl_test::read_file(patch);
}

// Some 130 KB, more than the patch cache, and a version changed all through it, whose patch
// outgrows the caches too (about 37 KB uncompressed, 26 to 32 KB compressed), so that every cache
// refills.
const Bytes kPairOld = hl_test::sample_data(130 * 1024, 9);
const Bytes kPairNew = hl_test::with_point_edits(kPairOld, 10, 8000);

class HpatchiExe : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = environment("QR_WORK");
    fs::remove_all(work_);
    fs::create_directories(work_);
  }

  // A folder of the case, with the sample files named.
  fs::path folder(const std::string& name, const std::vector<std::string>& sampleFiles = {}) const {
    const fs::path dir = work_ / name;
    fs::create_directories(dir);
    for (const std::string& file : sampleFiles) fs::copy_file(sample(file), dir / file);
    return dir;
  }

  fs::path work_;
};

// ---- the shared cases ----

class HpatchiExeCase : public HpatchiExe,
                       public ::testing::WithParamInterface<hl_test::HpatchiCase> {};

// The C runtime prints the UTF-16 paths of the trace with %ls in its "C" locale: characters up to
// U+00FF as their Latin-1 byte, and each string ends at the first one beyond (here the check mark
// of the folder's name). The file operations themselves see the whole names.
std::string utf8_paths_as_printed(std::string trace, const std::vector<std::string>& args) {
  for (size_t line = 0; line < 3; ++line) {
    trace = replaced_in_line(trace, line, '"' + args[line] + '"',
                             {'"', '\xdc', 'n', '\xef', 'c', '\xf8', 'd', '\xe9', ' ', '"'});
  }
  return trace;
}

TEST_P(HpatchiExeCase, Runs) {
  const hl_test::HpatchiCase& k = GetParam();
  const fs::path d = folder(k.name);
  const std::vector<std::string> args = k.prepare(d, environment("QR_SAMPLE_DIR"));
  const hl_test::HpatchiOutcome pinned = k.outcome(args);
  Expected want{pinned.code, pinned.out.value_or(""), pinned.err.value_or("")};
  // check_run splits off the time line alone, and the empty line before it stays.
  if (pinned.out && pinned.timeLine) want.out += "\n";
  // What the case leaves open comes from the driver in this process.
  if (!pinned.out || !pinned.err) {
    ASSERT_EQ(args.size(), 3u) << "only a command line of the driver runs in process";
    const Expected inProcess = expected_from(run_in_process(d, {args[0], args[1], args[2]}));
    ASSERT_EQ(inProcess.code, pinned.code) << "the driver in this process";
    if (!pinned.out) want.out = inProcess.out;
    if (!pinned.err) want.err = inProcess.err;
  }
  if (std::string(k.name) == "Utf8Paths") want.out = utf8_paths_as_printed(want.out, args);
  const Captured got = run_exe(d, args);
  if (pinned.timeLine) {
    ASSERT_NO_FATAL_FAILURE(check_run(got, want));
  } else {
    EXPECT_EQ(got.exitCode, want.code);
    EXPECT_EQ(got.out, crlf(want.out));
    EXPECT_EQ(got.err, crlf(want.err));
  }
  k.check(d, environment("QR_SAMPLE_DIR"));
}

INSTANTIATE_TEST_SUITE_P(Shared, HpatchiExeCase, ::testing::ValuesIn(hl_test::hpatchi_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- patches of every compress type ----

// compress_type 0 to 4, named by mkpatch's method.
struct Compression {
  int type;
  const char* method;
};
const Compression kCompressions[] = {
    {0, "none"}, {1, "tuz"}, {2, "zlib"}, {3, "lzma"}, {4, "lzma2"}};
void PrintTo(const Compression& c, std::ostream* os) { *os << c.method; }

class HpatchiExeBody : public HpatchiExe, public ::testing::WithParamInterface<Compression> {};

// The new file byte for byte, and the driver's memory figure.
TEST_P(HpatchiExeBody, AppliesWithItsMemoryFigure) {
  const Compression c = GetParam();
  const fs::path d = folder("type" + std::to_string(c.type));
  const Bytes patch = make_patch(work_ / "pair", kPairOld, kPairNew, c.method);
  ASSERT_EQ(int{patch.at(2)}, c.type) << "mkpatch wrote another compress_type";
  hl_test::write_file(d / "old", kPairOld);
  hl_test::write_file(d / "patch", patch);
  Expected want = expected_from(run_in_process(d, {"old", "patch", "new"}));
  // Types 0 to 2 have figures of their own on Windows; LZMA and LZMA2 are measured by the LZMA
  // SDK's own allocation, the same code on both systems.
  std::string must = must_of(want.out);
  if (c.type == HPATCH_LITE_COMPRESS_NONE) must = "0";
  if (c.type == HPATCH_LITE_COMPRESS_TUZ) must = std::to_string(tuz_must(patch));
  if (c.type == HPATCH_LITE_COMPRESS_ZLIB) {
    must = std::to_string(zlib_must(patch));
    want.out = with_must(want.out, zlib_must(patch));
  }
  ASSERT_EQ(must_of(want.out), must) << "the in-process memory figure";
  ASSERT_NO_FATAL_FAILURE(check_run(run_exe(d, {"old", "patch", "new"}), want));
  EXPECT_EQ(want.code, 0);
  EXPECT_EQ(hl_test::read_file(d / "new"), kPairNew);
}

INSTANTIATE_TEST_SUITE_P(AllTypes, HpatchiExeBody, ::testing::ValuesIn(kCompressions),
                         [](const auto& info) { return std::string(info.param.method); });

// Damaged patches: the Windows build fails as the driver does here.
class HpatchiExeTruncated : public HpatchiExeBody {};

TEST_P(HpatchiExeTruncated, FailsAsInProcess) {
  const Compression c = GetParam();
  const fs::path d = folder("truncated-" + std::string(c.method));
  Bytes patch = make_patch(work_ / "pair", kPairOld, kPairNew, c.method);
  patch.resize(patch.size() * 2 / 3);
  hl_test::write_file(d / "old", kPairOld);
  hl_test::write_file(d / "patch", patch);
  Expected want = expected_from(run_in_process(d, {"old", "patch", "new"}));
  if (c.type == HPATCH_LITE_COMPRESS_ZLIB) want.out = with_must(want.out, zlib_must(patch));
  ASSERT_NE(want.code, 0) << "the driver accepted the damaged patch";
  ASSERT_NO_FATAL_FAILURE(check_run(run_exe(d, {"old", "patch", "new"}), want));
}

INSTANTIATE_TEST_SUITE_P(CompressedTypes, HpatchiExeTruncated,
                         ::testing::ValuesIn(kCompressions + 1, std::end(kCompressions)),
                         [](const auto& info) { return std::string(info.param.method); });

// ---- paths of Windows' own rules ----

// An old path of 2048 characters does not fit the 2048-character wide buffer with its terminator:
// errno 38 and the path printed unconverted; 2047 characters still convert.
void check_long_old_path(const fs::path& d, size_t length, int wantErrno) {
  fs::copy_file(sample("patch"), d / "patch");
  const std::string old(length, 'a');
  Expected want = expected_from(run_in_process(d, {old, "patch", "new"}));
  const Captured got = run_exe(d, {old, "patch", "new"});
  // Linux refuses a name that long with its own errno; only the number is checked, the runtime's
  // text for it varies between C runtimes.
  const std::string first = got.err.substr(0, got.err.find('\n') + 1);
  ASSERT_TRUE(hl_test::TextPattern("call import system api error! errno: " +
                                   std::to_string(wantErrno) + ", errmsg: .+\\.\r\n")
                  .matches(first))
      << "first stderr line: " << first;
  want.err = first.substr(0, first.size() - 2) + "\n" + want.err.substr(want.err.find('\n') + 1);
  ASSERT_NO_FATAL_FAILURE(check_run(got, want));
  EXPECT_EQ(got.exitCode, 3);
  EXPECT_EQ(got.err.substr(first.size()), "open oldFile for read ERROR!\r\n");
}

TEST_F(HpatchiExe, OldPathOf2047Characters) { check_long_old_path(folder("long2047"), 2047, 2); }

TEST_F(HpatchiExe, OldPathOf2048Characters) { check_long_old_path(folder("long2048"), 2048, 38); }

// The new path names the old file under another spelling (Windows names ignore case); the driver
// here is given the same spelling. The shared case gives the same spelling to both.
TEST_F(HpatchiExe, NewFileIsTheOldFileSpelledOtherwise) {
  const fs::path d = folder("same", {"old", "patch"});
  Expected want = expected_from(run_in_process(d, {"old", "patch", "old"}));
  want.out = replaced_in_line(want.out, 2, "out : \"old\"", "out : \"OLD\"");
  const Captured got = run_exe(d, {"old", "patch", "OLD"});
  ASSERT_NO_FATAL_FAILURE(check_run(got, want));
  EXPECT_EQ(got.exitCode, 4);
  EXPECT_EQ(hl_test::read_file(d / "old"), hl_test::read_file(sample("old")))
      << "the old file was overwritten";
}

}  // namespace
