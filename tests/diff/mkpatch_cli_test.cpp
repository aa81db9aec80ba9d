// The mkpatch program: its command line, its errors and its checked output.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "patch/hl_result.h"
#include "tests/diff/test_support.h"

namespace {

namespace fs = std::filesystem;

struct CliResult {
  int exitCode;
  std::string err;
};

CliResult mkpatch(const std::string& args, const difftest::TempDir& dir) {
  std::string errFile = dir.file("stderr").string();
  std::string cmd = std::string(MKPATCH_EXE) + " " + args + " >/dev/null 2>" + errFile;
  int status = std::system(cmd.c_str());
  CliResult r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, {}};
  difftest::Bytes e = difftest::read_bytes(errFile);
  r.err.assign(e.begin(), e.end());
  return r;
}

std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

TEST(MkpatchCli, BadCommandLinesPrintTheUsage) {
  difftest::TempDir dir;
  for (const char* args : {"", "a b", "a b c d", "-c bzip2 a b c", "-l", "-l 12 a b c",
                           "-x a b c", "-c tuz -d 0 a b c", "-c zlib -d 100k a b c",
                           "-c tuz -l 0 a b c", "--force a b c", "--manifest"}) {
    CliResult r = mkpatch(args, dir);
    EXPECT_EQ(r.exitCode, 2) << args;
    EXPECT_NE(r.err.find("usage: mkpatch"), std::string::npos) << args;
  }
}

TEST(MkpatchCli, HelpIsNotAnError) {
  difftest::TempDir dir;
  EXPECT_EQ(mkpatch("--help", dir).exitCode, 0);
  EXPECT_EQ(mkpatch("-h", dir).exitCode, 0);
}

TEST(MkpatchCli, MakesACheckedPatch) {
  difftest::TempDir dir;
  difftest::Pair p = difftest::program_like_pair(100000, 4);
  difftest::write_bytes(dir.file("old"), p.old);
  difftest::write_bytes(dir.file("new"), p.neu);
  for (const char* c : {"none", "tuz", "zlib", "gzip", "deflate", "lzma", "lzma2"}) {
    CliResult r = mkpatch(std::string("-q -c ") + c + " " + q(dir.file("old")) + " " +
                        q(dir.file("new")) + " " + q(dir.file("patch")),
                    dir);
    ASSERT_EQ(r.exitCode, 0) << c << ": " << r.err;
    EXPECT_EQ(r.err, "") << "-q prints nothing";
    ASSERT_EQ(difftest::apply_patch(dir.file("old"), dir.file("patch"), dir.file("out")),
              HPATCHI_OK);
    EXPECT_EQ(difftest::read_bytes(dir.file("out")), p.neu) << c;
  }
  // Only the patch is left: no temporary files beside it.
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir.file(""))) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 5u);  // old, new, patch, out, stderr
}

TEST(MkpatchCli, UnreadableInputsFailWithoutWritingAPatch) {
  difftest::TempDir dir;
  difftest::write_bytes(dir.file("new"), difftest::random_bytes(100, 1));
  CliResult r = mkpatch(q(dir.file("missing")) + " " + q(dir.file("new")) + " " + q(dir.file("patch")),
                  dir);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("missing"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir.file("patch")));
  r = mkpatch(q(dir.file("new")) + " " + q(dir.file("new")) + " " + q(dir.file("no/such/patch")),
              dir);
  EXPECT_EQ(r.exitCode, 1);
}

TEST(MkpatchCli, FilesBeyondTheFormatLimitAreRefusedBeforeReading) {
  difftest::TempDir dir;
  {
    difftest::write_bytes(dir.file("huge"), {});
    std::error_code ec;
    fs::resize_file(dir.file("huge"), uint64_t(1) << 32, ec);  // sparse: no 4 GiB written
    if (ec) GTEST_SKIP() << "no sparse file here: " << ec.message();
  }
  difftest::write_bytes(dir.file("small"), difftest::random_bytes(100, 2));
  CliResult r = mkpatch(q(dir.file("small")) + " " + q(dir.file("huge")) + " " + q(dir.file("patch")),
                  dir);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("4294967296 bytes"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir.file("patch")));
  r = mkpatch(q(dir.file("huge")) + " " + q(dir.file("small")) + " " + q(dir.file("patch")),
              dir);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(fs::exists(dir.file("patch")));
  // 2^32 - 1 bytes is still allowed by the size check (not run: it would read 4 GiB).
}

TEST(MkpatchCli, NoVerifyStillWritesAWorkingPatch) {
  difftest::TempDir dir;
  difftest::write_bytes(dir.file("old"), difftest::random_bytes(5000, 3));
  difftest::write_bytes(dir.file("new"), difftest::random_bytes(5000, 4));
  CliResult r = mkpatch("--no-verify -c tuz " + q(dir.file("old")) + " " + q(dir.file("new")) + " " +
                      q(dir.file("patch")),
                  dir);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(difftest::apply_patch(dir.file("old"), dir.file("patch"), dir.file("out")),
            HPATCHI_OK);
  EXPECT_EQ(difftest::read_bytes(dir.file("out")), difftest::read_bytes(dir.file("new")));
}

// SHA-256 as the system's sha256sum prints it.
std::string sha256sum(const fs::path& file) {
  std::string cmd = "sha256sum " + q(file);
  FILE* pipe = popen(cmd.c_str(), "r");
  char digest[65] = {};
  if (pipe == nullptr || std::fscanf(pipe, "%64s", digest) != 1) digest[0] = 0;
  if (pipe != nullptr) pclose(pipe);
  return digest;
}

TEST(MkpatchCli, ManifestNamesBothExecutablesAndTheForceFlag) {
  difftest::TempDir dir;
  difftest::write_bytes(dir.file("old"), difftest::random_bytes(5000, 3));
  difftest::write_bytes(dir.file("new"), difftest::random_bytes(6000, 4));
  const std::string files = q(dir.file("old")) + " " + q(dir.file("new")) + " " + q(dir.file("Patch"));
  CliResult r = mkpatch("-q --manifest " + q(dir.file("update.json")) + " --force " + files, dir);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const difftest::Bytes text = difftest::read_bytes(dir.file("update.json"));
  const std::string expected = "{\n  \"force\": true,\n  \"base_sha256\": \"" + sha256sum(dir.file("old")) +
                               "\",\n  \"sha256\": \"" + sha256sum(dir.file("new")) + "\"\n}\n";
  EXPECT_EQ(std::string(text.begin(), text.end()), expected);

  r = mkpatch("-q --manifest " + q(dir.file("update.json")) + " " + files, dir);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const difftest::Bytes unforced = difftest::read_bytes(dir.file("update.json"));
  EXPECT_NE(std::string(unforced.begin(), unforced.end()).find("\"force\": false"), std::string::npos);

  // No manifest without its patch.
  fs::remove(dir.file("update.json"));
  r = mkpatch("-q --manifest " + q(dir.file("update.json")) + " " + q(dir.file("absent")) + " " +
                  q(dir.file("new")) + " " + q(dir.file("Patch2")),
              dir);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(fs::exists(dir.file("update.json")));
}

}  // namespace
