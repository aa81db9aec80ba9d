// The mkpatch program: its command line, its errors and its checked output.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "patch/hl_result.h"
#include "tests/support/file_io.h"
#include "tests/support/process_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_data.h"
#include "tools/mkpatch/command_line.h"

namespace {

namespace fs = std::filesystem;

// Runs mkpatch with args, a command line for /bin/sh.
hl_test::Captured mkpatch(const std::string& args) {
  return hl_test::run_shell(std::string(MKPATCH_EXE) + " " + args);
}

// The parsed command line for args followed by the three paths, or the error.
std::optional<mkpatch::CommandLine> parse(std::vector<std::string> args, std::string& error) {
  args.insert(args.end(), {"old", "new", "patch"});
  error.clear();
  return mkpatch::parse_command_line(args, error);
}

std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

TEST(MkpatchCli, BadCommandLinesPrintTheUsage) {
  for (const char* args :
       {"", "a b", "a b c d", "-c bzip2 a b c", "-l", "-l 12 a b c", "-x a b c",
        "-c tuz -d 0 a b c", "-c zlib -d 100k a b c", "-c tuz -l 0 a b c", "-d 17179869185g a b c",
        "-l 0k a b c", "-d 1kb a b c", "--force a b c", "--manifest"}) {
    hl_test::Captured r = mkpatch(args);
    EXPECT_EQ(r.exitCode, 2) << args;
    EXPECT_NE(r.err.find("usage: mkpatch"), std::string::npos) << args;
  }
}

TEST(MkpatchCli, HelpExplainsEveryOptionOnStandardOutput) {
  for (const char* args : {"--help", "-h", "-q --help a b"}) {
    hl_test::Captured r = mkpatch(args);
    EXPECT_EQ(r.exitCode, 0) << args;
    EXPECT_EQ(r.err, "") << args;
    EXPECT_EQ(r.out.rfind(mkpatch::kUsage, 0), 0u) << args << ": " << r.out;
    for (const char* option : {"\n  -c NAME", "\n  -l LEVEL", "\n  -d SIZE", "\n  --no-verify",
                               "\n  -q", "\n  -h, --help", "\n  --version", "\n  --  "}) {
      EXPECT_NE(r.out.find(option), std::string::npos) << args << ": " << option;
    }
  }
}

TEST(MkpatchCli, VersionIsTheProjectVersion) {
  hl_test::Captured r = mkpatch("--version");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "mkpatch " QR_VERSION "\n");
  EXPECT_EQ(r.err, "");
}

TEST(MkpatchCommandLine, SizesAreWholeNumbersWithAnOptionalSuffix) {
  std::string error;
  const std::pair<const char*, uint64_t> accepted[] = {
      {"4096", 4096},          {"4k", 4096},     {"4K", 4096},
      {"3m", 3u << 20},        {"1g", 1u << 30}, {"0001G", 1u << 30},
      {"1073741824", 1u << 30}};
  for (const auto& [text, size] : accepted) {
    auto cl = parse({"-c", "lzma2", "-d", text}, error);
    ASSERT_TRUE(cl) << text << ": " << error;
    EXPECT_EQ(cl->encode.dictSize, size) << text;
  }
  // The largest size that fits in 64 bits parses, and is then refused for the compression only.
  EXPECT_FALSE(parse({"-d", "17179869183g"}, error));
  EXPECT_EQ(error, "dictionary size 18446744072635809792 is not valid for lzma2");
}

TEST(MkpatchCommandLine, SizesThatOverflowOrHaveJunkAreRefused) {
  std::string error;
  // Each of these once wrapped around 2^64 to a size that looked valid, e.g. 1 GiB.
  for (const char* text : {"17179869185g", "17179869184g", "18014398509481984k", "17592186044416m",
                           "18446744073709551616", "99999999999999999999999"}) {
    EXPECT_FALSE(parse({"-d", text}, error)) << text;
    EXPECT_EQ(error,
              std::string("dictionary size \"") + text + "\" is too large (more than 64 bits)");
  }
  for (const char* text :
       {"1kb", "1k ", " 1k", "1 k", "+4k", "-4k", "k", "", "1.5m", "0x1000", "4kk"}) {
    EXPECT_FALSE(parse({"-d", text}, error)) << text;
    EXPECT_EQ(error.rfind(std::string("bad dictionary size \"") + text + "\": ", 0), 0u) << error;
  }
  EXPECT_FALSE(parse({"-d", "0k"}, error));
  EXPECT_EQ(error, "bad dictionary size \"0k\"");
}

TEST(MkpatchCommandLine, LevelsAreDigitsOnly) {
  std::string error;
  for (int level : {0, 9}) {
    auto cl = parse({"-c", "zlib", "-l", std::to_string(level)}, error);
    ASSERT_TRUE(cl) << error;
    EXPECT_EQ(cl->encode.level, level);
  }
  for (const char* text : {"0k", "1m", "9g", "10", "-1", "+1", "", "1 ", "18446744073709551617"}) {
    EXPECT_FALSE(parse({"-c", "zlib", "-l", text}, error)) << text;
    EXPECT_EQ(error, std::string("level must be a number from 0 to 9, not \"") + text + "\"");
  }
}

TEST(MkpatchCli, MakesACheckedPatch) {
  hl_test::TempDir dir;
  hl_test::ProgramPair p = hl_test::program_like_pair(100000, 4);
  hl_test::write_file(dir.file("old"), p.old);
  hl_test::write_file(dir.file("new"), p.neu);
  for (const char* c : {"none", "tuz", "zlib", "gzip", "deflate", "lzma", "lzma2"}) {
    hl_test::Captured r = mkpatch(std::string("-q -c ") + c + " " + q(dir.file("old")) + " " +
                                  q(dir.file("new")) + " " + q(dir.file("patch")));
    ASSERT_EQ(r.exitCode, 0) << c << ": " << r.err;
    EXPECT_EQ(r.err, "") << "-q prints nothing";
    ASSERT_EQ(hl_test::run_hpatchi_quietly(dir.file("old"), dir.file("patch"), dir.file("out")),
              HPATCHI_OK);
    EXPECT_EQ(hl_test::read_file(dir.file("out")), p.neu) << c;
  }
  // Only the patch is left: no temporary files beside it.
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir.path())) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 4u);  // old, new, patch, out
}

TEST(MkpatchCli, UnreadableInputsFailWithoutWritingAPatch) {
  hl_test::TempDir dir;
  hl_test::write_file(dir.file("new"), hl_test::random_bytes(100, 1));
  hl_test::Captured r =
      mkpatch(q(dir.file("missing")) + " " + q(dir.file("new")) + " " + q(dir.file("patch")));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("missing"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir.file("patch")));
  r = mkpatch(q(dir.file("new")) + " " + q(dir.file("new")) + " " + q(dir.file("no/such/patch")));
  EXPECT_EQ(r.exitCode, 1);
}

TEST(MkpatchCli, FilesBeyondTheFormatLimitAreRefusedBeforeReading) {
  hl_test::TempDir dir;
  {
    hl_test::write_file(dir.file("huge"), {});
    std::error_code ec;
    fs::resize_file(dir.file("huge"), uint64_t(1) << 32, ec);  // sparse: no 4 GiB written
    if (ec) GTEST_SKIP() << "no sparse file here: " << ec.message();
  }
  hl_test::write_file(dir.file("small"), hl_test::random_bytes(100, 2));
  hl_test::Captured r =
      mkpatch(q(dir.file("small")) + " " + q(dir.file("huge")) + " " + q(dir.file("patch")));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("4294967296 bytes"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir.file("patch")));
  r = mkpatch(q(dir.file("huge")) + " " + q(dir.file("small")) + " " + q(dir.file("patch")));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(fs::exists(dir.file("patch")));
  // 2^32 - 1 bytes is still allowed by the size check (not run: it would read 4 GiB).
}

TEST(MkpatchCli, NoVerifyStillWritesAWorkingPatch) {
  hl_test::TempDir dir;
  hl_test::write_file(dir.file("old"), hl_test::random_bytes(5000, 3));
  hl_test::write_file(dir.file("new"), hl_test::random_bytes(5000, 4));
  hl_test::Captured r = mkpatch("--no-verify -c tuz " + q(dir.file("old")) + " " +
                                q(dir.file("new")) + " " + q(dir.file("patch")));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(hl_test::run_hpatchi_quietly(dir.file("old"), dir.file("patch"), dir.file("out")),
            HPATCHI_OK);
  EXPECT_EQ(hl_test::read_file(dir.file("out")), hl_test::read_file(dir.file("new")));
}

// SHA-256 as the system's sha256sum prints it.
std::string sha256sum(const fs::path& file) {
  return hl_test::run_shell("sha256sum " + q(file)).out.substr(0, 64);
}

TEST(MkpatchCli, ManifestNamesBothExecutablesAndTheForceFlag) {
  hl_test::TempDir dir;
  hl_test::write_file(dir.file("old"), hl_test::random_bytes(5000, 3));
  hl_test::write_file(dir.file("new"), hl_test::random_bytes(6000, 4));
  const std::string files =
      q(dir.file("old")) + " " + q(dir.file("new")) + " " + q(dir.file("Patch"));
  hl_test::Captured r =
      mkpatch("-q --manifest " + q(dir.file("update.json")) + " --force " + files);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const hl_test::Bytes text = hl_test::read_file(dir.file("update.json"));
  const std::string expected = "{\n  \"force\": true,\n  \"base_sha256\": \"" +
                               sha256sum(dir.file("old")) + "\",\n  \"sha256\": \"" +
                               sha256sum(dir.file("new")) + "\"\n}\n";
  EXPECT_EQ(std::string(text.begin(), text.end()), expected);

  r = mkpatch("-q --manifest " + q(dir.file("update.json")) + " " + files);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const hl_test::Bytes unforced = hl_test::read_file(dir.file("update.json"));
  EXPECT_NE(std::string(unforced.begin(), unforced.end()).find("\"force\": false"),
            std::string::npos);

  // No manifest without its patch.
  fs::remove(dir.file("update.json"));
  r = mkpatch("-q --manifest " + q(dir.file("update.json")) + " " + q(dir.file("absent")) + " " +
              q(dir.file("new")) + " " + q(dir.file("Patch2")));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(fs::exists(dir.file("update.json")));
}

}  // namespace
