// End-to-end installation of staged updates with real patches.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/runner/sandbox.h"
#include "tests/runner/update_files.h"
#include "tests/standin/standin_copy.h"
#include "tests/support/file_io.h"
#include "tests/support/runner_log_lines.h"
#include "tests/support/temp_dir.h"

namespace runner_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Files the runner keeps only while it installs.
void ExpectNoTransientFiles(const Sandbox& box) {
  for (const char* name : {"Quorlin_old.exe", "Quorlin_new.exe", "crashpad_handler_new.exe"})
    EXPECT_FALSE(fs::exists(box.DataFolder() / name)) << name;
}

void ExpectStagingConsumed(const Sandbox& box) {
  EXPECT_FALSE(fs::exists(box.DataFolder() / "Patch"));
  EXPECT_FALSE(fs::exists(box.DataFolder() / "update.json"));
  ExpectNoTransientFiles(box);
}

// Makes the application reporting `runningVersion` stage, while it runs, a patch from `from`
// to `toVersion` and the given manifest.
void StageWhileRunning(Sandbox& box, const std::string& runningVersion, const fs::path& from,
                       const std::string& toVersion, const std::string& manifest,
                       hldiff::Compression compression = hldiff::Compression::None) {
  const fs::path patch = box.Root() / ("patch-to-" + toVersion);
  hl_test::write_file(patch, MakeVersionPatch(from, toVersion, compression));
  const fs::path manifestFile = box.WriteFile(box.Root() / ("manifest-" + toVersion), manifest);
  box.OnRun(runningVersion, "stage|" + patch.string() + "|" + manifestFile.string());
}

TEST(Install, FirstUpdateWritesTheStagedExecutableAndLeavesTheInstalledOneAlone) {
  Sandbox box;
  box.InstallApp("1.0.0");
  const Bytes installed = hl_test::read_file(box.InstalledExe());
  StageWhileRunning(box, "1.0.0", box.InstalledExe(), "2.0.0", "{}");
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
  EXPECT_EQ(hl_test::read_file(box.StagedExe()), StandinBytes("2.0.0"));
  EXPECT_EQ(hl_test::read_file(box.InstalledExe()), installed);
  ExpectStagingConsumed(box);
  EXPECT_THAT(box.LogMessages(), ElementsAre(hl_test::exe_path_line(box.InstalledExe())));

  // The next start picks the new version.
  box.OnRun("1.0.0", "");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs(), (std::vector<std::string>{"run 1.0.0", "run 2.0.0"}));
}

// A forced update whose result fails the version check, or gets no verdict from it (its probe
// cannot start): the application that staged it would stage it again at every run and be
// restarted at once, without end. It runs once more, and the update it stages again is refused;
// a result without a verdict stays staged.
TEST(Install, ForcedUpdateWhoseResultDoesNotPassIsNotInstalledAgain) {
  struct Case {
    std::string installed, target;
    bool probesRefused;
    std::string stagedAfter;  // empty: none
    std::string checkLine;    // how the line of the version check starts
    std::string refusal;
  };
  for (const Case& c :
       {Case{"2.0.0", "1.0.0", false, "",
             "staged Quorlin.exe removed: the installed version 2.0.0 is newer than 1.0.0",
             "failed its version check"},
        Case{"1.0.0", "2.0.0", true, "2.0.0", "staged Quorlin.exe kept for a later start: ",
             "got no verdict from its version check"}}) {
    SCOPED_TRACE(c.refusal);
    Sandbox box;
    box.InstallApp(c.installed);
    StageWhileRunning(box, c.installed, box.InstalledExe(), c.target, R"({"force": true})");
    if (c.probesRefused) {
      box.PreloadShim();
      box.SetEnv("QR_FAIL_PROBE_STARTS", "E2BIG");
    }
    EXPECT_EQ(box.Run().exitCode, 0);
    EXPECT_EQ(box.Runs(), (std::vector<std::string>{"run " + c.installed, "run " + c.installed}));
    if (c.stagedAfter.empty())
      EXPECT_FALSE(fs::exists(box.StagedExe()));
    else
      EXPECT_EQ(standin::VersionOf(box.StagedExe().string()), c.stagedAfter);
    ExpectStagingConsumed(box);
    EXPECT_THAT(box.LogMessages(),
                ElementsAre(hl_test::exe_path_line(box.InstalledExe()),
                            ::testing::StartsWith("INFO [default] " + c.checkLine),
                            "INFO [default] the update just installed " + c.refusal +
                                ": not installed again",
                            hl_test::exe_path_line(box.InstalledExe()),
                            "INFO [default] the update failed before: update dropped",
                            hl_test::kForceNotHonouredLine));
  }
}

TEST(Install, ForceStartsTheNewVersionAtOnce) {
  Sandbox box;
  box.InstallApp("1.0.0");
  StageWhileRunning(box, "1.0.0", box.InstalledExe(), "2.0.0", R"({"force": true})");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs(), (std::vector<std::string>{"run 1.0.0", "run 2.0.0"}));
  // The fresh staged executable goes through the version check before it starts.
  EXPECT_THAT(box.Journal(), ElementsAre(HasSubstr("run 1.0.0"), "probe 1.0.0", "probe 2.0.0",
                                         HasSubstr("run 2.0.0")));
  EXPECT_THAT(box.LogMessages(), ElementsAre(hl_test::exe_path_line(box.InstalledExe()),
                                             hl_test::exe_path_line(box.StagedExe())));
  ExpectStagingConsumed(box);
}

TEST(Install, UpdateOfAnUpdateReplacesTheStagedExecutableInPlace) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.StageApp("2.0.0");
  StageWhileRunning(box, "2.0.0", box.StagedExe(), "3.0.0", R"({"force": true})");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs(), (std::vector<std::string>{"run 2.0.0", "run 3.0.0"}));
  EXPECT_EQ(hl_test::read_file(box.StagedExe()), StandinBytes("3.0.0"));
  // The runner's own files are the user's alone.
  EXPECT_EQ(fs::status(box.StagedExe()).permissions(), fs::perms::owner_all);
  ExpectStagingConsumed(box);
}

TEST(Install, ChainOfForcedUpdatesInOneRun) {
  Sandbox box;
  box.InstallApp("1.0.0");
  const fs::path v2 = box.Root() / "v2";
  standin::MakeCopyWithVersion(box.InstalledExe().string(), v2.string(), "2.0.0");
  StageWhileRunning(box, "1.0.0", box.InstalledExe(), "2.0.0", R"({"force": true})");
  StageWhileRunning(box, "2.0.0", v2, "3.0.0", R"({"force": true})");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs(), (std::vector<std::string>{"run 1.0.0", "run 2.0.0", "run 3.0.0"}));
  EXPECT_EQ(standin::VersionOf(box.StagedExe().string()), "3.0.0");
}

class NotForced : public ::testing::TestWithParam<std::string> {};

TEST_P(NotForced, InstallsAndEnds) {
  Sandbox box;
  box.InstallApp("1.0.0");
  StageWhileRunning(box, "1.0.0", box.InstalledExe(), "2.0.0", GetParam());
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
  EXPECT_EQ(standin::VersionOf(box.StagedExe().string()), "2.0.0");
  ExpectStagingConsumed(box);
}

INSTANTIATE_TEST_SUITE_P(Manifests, NotForced,
                         ::testing::Values(R"({"force": false})", "{}", R"({"force": "true"})",
                                           R"({"force": 1})", R"({"Force": true})",
                                           R"([{"force": true}])", "true", "\"force\"",
                                           "\xEF\xBB\xBF{\"force\": false}"));

class BrokenManifest : public ::testing::TestWithParam<std::string> {};

TEST_P(BrokenManifest, ConsumesTheUpdateBeforeAnythingIsPatched) {
  Sandbox box;
  box.InstallApp("1.0.0");
  StageWhileRunning(box, "1.0.0", box.InstalledExe(), "2.0.0", GetParam());
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
  EXPECT_THAT(box.LogMessages(),
              ElementsAre(hl_test::exe_path_line(box.InstalledExe()),
                          "INFO [default] update.json is not valid JSON: update dropped"));
  EXPECT_FALSE(fs::exists(box.StagedExe()));
  ExpectStagingConsumed(box);
}

INSTANTIATE_TEST_SUITE_P(Manifests, BrokenManifest,
                         ::testing::Values(R"({"force": true} // restart)",
                                           R"(/* x */ {"force": true})",
                                           R"({"force": true} {"force": true})", "",
                                           "{\"force\": true",
                                           std::string("{\"force\":true}\0junk", 19)));

class CompressedPatch : public ::testing::TestWithParam<hldiff::Compression> {};

TEST_P(CompressedPatch, IsInstalled) {
  Sandbox box;
  box.InstallApp("1.0.0");
  StageWhileRunning(box, "1.0.0", box.InstalledExe(), "2.0.0", R"({"force": true})", GetParam());
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs(), (std::vector<std::string>{"run 1.0.0", "run 2.0.0"}));
  EXPECT_EQ(hl_test::read_file(box.StagedExe()), StandinBytes("2.0.0"));
  ExpectStagingConsumed(box);
}

INSTANTIATE_TEST_SUITE_P(EveryType, CompressedPatch,
                         ::testing::Values(hldiff::Compression::None, hldiff::Compression::Tuz,
                                           hldiff::Compression::Zlib, hldiff::Compression::Gzip,
                                           hldiff::Compression::Deflate, hldiff::Compression::Lzma,
                                           hldiff::Compression::Lzma2),
                         [](const auto& info) {
                           return std::string(hldiff::compression_name(info.param));
                         });

// A patch the driver rejects keeps the previous staged executable, with one line that says why;
// "force" is not honoured after it. A malformed patch is consumed; one that ends early (still
// being downloaded) stays, and installs once it is whole.
void ExpectFailedPatchKeepsTheStagedExecutable(const std::string& name, const Bytes& patch,
                                               const Bytes& whole = {}) {
  SCOPED_TRACE(name);
  Sandbox box;
  box.InstallApp("1.0.0");
  box.StageApp("2.0.0");
  const Bytes previous = hl_test::read_file(box.StagedExe());
  const fs::path patchFile = box.Root() / "bad-patch";
  hl_test::write_file(patchFile, patch);
  const fs::path manifest = box.WriteFile(box.Root() / "manifest", R"({"force": true})");
  box.OnRun("2.0.0", "stage|" + patchFile.string() + "|" + manifest.string());
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(hl_test::read_file(box.StagedExe()), previous);
  EXPECT_EQ(box.Runs(), (std::vector<std::string>{"run 2.0.0"}));
  const std::string why = whole.empty()
                              ? ".*patch failed with result [0-9]+: update dropped"
                              : "INFO \\[default\\] Patch ended before its body did \\(result "
                                "(20|21)\\): update kept for a later run \\(attempt 1 of 3\\)";
  EXPECT_THAT(box.LogMessages(),
              ElementsAre(hl_test::exe_path_line(box.StagedExe()), ::testing::MatchesRegex(why),
                          hl_test::kForceNotHonouredLine));
  if (whole.empty()) {
    ExpectStagingConsumed(box);
    EXPECT_FALSE(fs::exists(box.DataFolder() / "update.attempts"));
    return;
  }
  ExpectNoTransientFiles(box);
  hl_test::write_file(box.DataFolder() / "Patch", whole);
  box.OnRun("2.0.0", "");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(standin::VersionOf(box.StagedExe().string()), "3.0.0");
  ExpectStagingConsumed(box);
}

TEST(Install, FailedPatchesKeepThePreviousStagedExecutableAndEndTheRunner) {
  const Bytes v2 = StandinBytes("2.0.0");
  // Made against a longer base: its copies reach past the end of the real one.
  Bytes otherBase = v2;
  otherBase.insert(otherBase.end(), 200000, 0x5A);
  const hl_test::TempDir scratch("bases", QR_TEST_SCRATCH);
  hl_test::write_file(scratch.file("other-base"), otherBase);
  const Bytes againstOther = MakeVersionPatch(scratch.file("other-base"), "3.0.0");
  hl_test::write_file(scratch.file("v2"), v2);
  const Bytes good = MakeVersionPatch(scratch.file("v2"), "3.0.0");
  Bytes truncated(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
  Bytes corrupt = good;
  corrupt[0] = 'X';

  ExpectFailedPatchKeepsTheStagedExecutable("another base", againstOther);
  ExpectFailedPatchKeepsTheStagedExecutable("corrupt header", corrupt);
  ExpectFailedPatchKeepsTheStagedExecutable("truncated", truncated, good);
  ExpectFailedPatchKeepsTheStagedExecutable("header only", Bytes(good.begin(), good.begin() + 3),
                                            good);
  ExpectFailedPatchKeepsTheStagedExecutable("empty", Bytes{}, good);
}

TEST(Install, LeftoverBackupCopyAndStrayPatchResultAreReplaced) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.WriteFile(box.DataFolder() / "Quorlin_old.exe", "left by an interrupted run");
  box.WriteFile(box.DataFolder() / "Quorlin_new.exe", "half a patch result");
  StageWhileRunning(box, "1.0.0", box.InstalledExe(), "2.0.0", "{}");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(hl_test::read_file(box.StagedExe()), StandinBytes("2.0.0"));
  ExpectStagingConsumed(box);
  EXPECT_THAT(box.LogMessages(), ElementsAre(hl_test::exe_path_line(box.InstalledExe())));
}

TEST(Install, CrashHandlerIsCopiedWhenMissing) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.WriteFile(box.WorkFolder() / "crashpad_handler.exe", "crash handler");
  StageWhileRunning(box, "1.0.0", box.InstalledExe(), "2.0.0", "{}");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(hl_test::read_text(box.DataFolder() / "crashpad_handler.exe"), "crash handler");
  ExpectStagingConsumed(box);
}

TEST(Install, ExistingCrashHandlerCopyIsNeverRefreshed) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.WriteFile(box.WorkFolder() / "crashpad_handler.exe", "new crash handler");
  box.WriteFile(box.DataFolder() / "crashpad_handler.exe", "old crash handler");
  StageWhileRunning(box, "1.0.0", box.InstalledExe(), "2.0.0", "{}");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(hl_test::read_text(box.DataFolder() / "crashpad_handler.exe"), "old crash handler");
  EXPECT_EQ(standin::VersionOf(box.StagedExe().string()), "2.0.0");
}

TEST(Install, MissingCrashHandlerSourceIsNoError) {
  Sandbox box;
  box.InstallApp("1.0.0");
  StageWhileRunning(box, "1.0.0", box.InstalledExe(), "2.0.0", R"({"force": true})");
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_FALSE(fs::exists(box.DataFolder() / "crashpad_handler.exe"));
  EXPECT_EQ(box.Runs().size(), 2u);
  EXPECT_THAT(box.LogMessages(), ElementsAre(hl_test::exe_path_line(box.InstalledExe()),
                                             hl_test::exe_path_line(box.StagedExe())));
}

TEST(Install, BackupCopyNameTakenByAFolderIsSetAside) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.WriteFile(box.DataFolder() / "Quorlin_old.exe" / "blocker",
                "x");  // a folder cannot be removed
  StageWhileRunning(box, "1.0.0", box.InstalledExe(), "2.0.0", "{}");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_THAT(box.LogMessages(), ElementsAre(hl_test::exe_path_line(box.InstalledExe()),
                                             hl_test::set_aside_line("Quorlin_old.exe")));
  EXPECT_EQ(standin::VersionOf(box.StagedExe().string()), "2.0.0");
  EXPECT_EQ(hl_test::read_text(box.DataFolder() / "Quorlin_old.exe.aside-1" / "blocker"), "x");
  ExpectStagingConsumed(box);
}

TEST(Install, FailedCrashHandlerCopyCostsTheUpdateNothing) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.StageApp("2.0.0");
  box.WriteFile(box.WorkFolder() / "crashpad_handler.exe" / "inside", "a folder, not a file");
  StageWhileRunning(box, "2.0.0", box.StagedExe(), "3.0.0", "{}");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_THAT(
      box.LogMessages(),
      ElementsAre(
          hl_test::exe_path_line(box.StagedExe()),
          "INFO [default] crash handler copy failed: crashpad_handler.exe is not a regular file"));
  EXPECT_EQ(standin::VersionOf(box.StagedExe().string()), "3.0.0");
  EXPECT_FALSE(fs::exists(box.DataFolder() / "crashpad_handler.exe"));
  ExpectStagingConsumed(box);
}

TEST(Install, PatchThatIsAFolderIsSetAside) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.StageApp("2.0.0");
  box.WriteFile(box.DataFolder() / "Patch" / "inside", "a folder, not a patch");
  box.WriteFile(box.DataFolder() / "update.json", R"({"force": true})");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_THAT(box.LogMessages(),
              ElementsAre(hl_test::exe_path_line(box.StagedExe()),
                          "INFO [default] Patch is not a regular file: set aside as Patch.aside-1",
                          hl_test::kForceNotHonouredLine));
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 2.0.0"});
  EXPECT_EQ(standin::VersionOf(box.StagedExe().string()), "2.0.0");
  EXPECT_TRUE(fs::exists(box.DataFolder() / "Patch.aside-1" / "inside"));
  ExpectNoTransientFiles(box);

  // The next update the application stages goes through.
  StageWhileRunning(box, "2.0.0", box.StagedExe(), "3.0.0", "{}");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(standin::VersionOf(box.StagedExe().string()), "3.0.0");
  ExpectStagingConsumed(box);
}

}  // namespace
}  // namespace runner_test
