// End-to-end runs of QuorlinRunner: lock, roaming folder, log lines, TESSDATA, start failures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "app/runner/lock_name.h"
#include "tests/runner/sandbox.h"
#include "tests/support/file_io.h"
#include "tests/support/runner_log_lines.h"

namespace runner_test {
namespace {

using ::testing::ElementsAre;

TEST(Launch, StartsTheInstalledApplicationWithRunnerSwitchTessdataAndWorkingDirectory) {
  Sandbox box;
  box.InstallApp("1.0.0");
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  ASSERT_EQ(box.Journal().size(), 1u);
  EXPECT_EQ(box.Journal()[0],
            "run 1.0.0 args=--runner tessdata=" + (box.InstallFolder() / "tessdata").string() +
                " cwd=" + box.WorkFolder().string());
  EXPECT_EQ(box.LogMessages(),
            std::vector<std::string>{hl_test::exe_path_line(box.InstalledExe())});
  // No staged executable: nothing is probed.
  EXPECT_TRUE(fs::exists(box.DataFolder()));
  EXPECT_FALSE(fs::exists(box.StagedExe()));
}

TEST(Launch, RoamingFolderFallsBackToHomeLocalShare) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.UnsetEnv("XDG_DATA_HOME");
  EXPECT_EQ(box.Run().exitCode, 0);
  const fs::path log = box.Home() / ".local" / "share" / "Quorlin" / "logs.log";
  ASSERT_TRUE(fs::exists(log));
  EXPECT_NE(hl_test::read_text(log).find(hl_test::exe_path_line(box.InstalledExe()) + "\n"),
            std::string::npos);
}

TEST(Launch, SecondRunnerExitsAtOnceWhileTheFirstWaitsAndALaterOneRuns) {
  Sandbox box;
  box.InstallApp("1.0.0");
  WaitingRun first(box);
  ASSERT_TRUE(first.Started());

  const RunResult second = box.Run();
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(box.Runs().size(), 1u);
  EXPECT_EQ(box.LogMessages().size(), 1u);

  EXPECT_EQ(first.End().exitCode, 0);

  const RunResult later = box.Run();
  EXPECT_EQ(later.exitCode, 0);
  EXPECT_EQ(box.Runs().size(), 2u);
  EXPECT_EQ(box.LogMessages().size(), 2u);
}

TEST(Launch, LockIsTakenInTheHomeFolderUnderItsExactName) {
  Sandbox box;
  box.InstallApp("1.0.0");
  WaitingRun first(box);
  ASSERT_TRUE(first.Started());
  EXPECT_TRUE(fs::exists(box.Home() / QR_RUNNER_LOCK_NAME));
  EXPECT_EQ(first.End().exitCode, 0);
}

TEST(Launch, WithoutRoamingFolderRunsTheInstalledApplicationWithoutLogOrTessdata) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.UnsetEnv("XDG_DATA_HOME");
  box.UnsetEnv("HOME");
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, "Failed to get AppData Roaming path\n");
  // The log line still reaches standard output.
  EXPECT_NE(result.out.find(hl_test::exe_path_line(box.InstalledExe())), std::string::npos);
  ASSERT_EQ(box.Journal().size(), 1u);
  EXPECT_EQ(box.Journal()[0],
            "run 1.0.0 args=--runner tessdata=(unset) cwd=" + box.WorkFolder().string());
  for (const auto& entry : fs::recursive_directory_iterator(box.Root()))
    EXPECT_NE(entry.path().filename(), "logs.log") << entry.path();
}

TEST(Launch, AppendsToAnExistingLogAndNeverTruncatesIt) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.WriteFile(box.LogFile(), "an earlier line\n");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_THAT(box.LogMessages(),
              ElementsAre("?an earlier line", hl_test::exe_path_line(box.InstalledExe()),
                          hl_test::exe_path_line(box.InstalledExe())));
}

TEST(Launch, MissingInstalledExecutableIsLoggedAndNothingStarts) {
  Sandbox box;
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_THAT(box.LogMessages(), ElementsAre(hl_test::exe_path_line(box.InstalledExe()),
                                             "INFO [default] exe not exist "));
  EXPECT_TRUE(box.Journal().empty());
}

TEST(Launch, UnstartableExecutableGivesTheStartFailureLine) {
  Sandbox box;
  box.InstallApp("1.0.0");
  fs::permissions(box.InstalledExe(),
                  fs::perms::owner_read | fs::perms::owner_write);  // no execute bit
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_THAT(box.LogMessages(), ElementsAre(hl_test::exe_path_line(box.InstalledExe()),
                                             "INFO [default] Create Process " +
                                                 box.InstalledExe().string() + " --runner error"));
  EXPECT_TRUE(box.Journal().empty());
}

TEST(Launch, LogLinesCarryTheLibraryDefaultTimestampFormat) {
  Sandbox box;
  box.InstallApp("1.0.0");
  EXPECT_EQ(box.Run().exitCode, 0);
  const std::string log = hl_test::read_text(box.LogFile());
  // "%Y-%M-%d %H:%m:%s,%g": e.g. "2026-12-08 23:14:02,123 "
  ASSERT_GE(log.size(), 24u);
  for (size_t i : {4u, 7u}) EXPECT_EQ(log[i], '-');
  EXPECT_EQ(log[10], ' ');
  for (size_t i : {13u, 16u}) EXPECT_EQ(log[i], ':');
  EXPECT_EQ(log[19], ',');
  EXPECT_EQ(log[23], ' ');
  EXPECT_EQ(log.substr(24), hl_test::exe_path_line(box.InstalledExe()) + "\n");
}

}  // namespace
}  // namespace runner_test

namespace runner_test {
namespace {

TEST(StagedTest, LoneManifestIsNeitherReadNorRemoved) {
  Sandbox box;
  box.InstallApp("1.0.0");
  const fs::path manifest = box.WriteFile(box.DataFolder() / "update.json", "{\"force\": true}");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(hl_test::read_text(manifest), "{\"force\": true}");
  EXPECT_EQ(box.Runs().size(), 1u);  // not forced: nothing was installed
  EXPECT_FALSE(fs::exists(box.StagedExe()));
  EXPECT_FALSE(fs::exists(box.DataFolder() / "Quorlin_old.exe"));
}

TEST(StagedTest, LonePatchIsKept) {
  Sandbox box;
  box.InstallApp("1.0.0");
  const fs::path patch = box.WriteFile(box.DataFolder() / "Patch", "not even a patch");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(hl_test::read_text(patch), "not even a patch");
  EXPECT_EQ(box.Runs().size(), 1u);
  EXPECT_FALSE(fs::exists(box.StagedExe()));
}

TEST(StagedTest, FilesStagedBeforeTheStartWaitUntilTheApplicationHasRun) {
  Sandbox box;
  box.InstallApp("1.0.0");
  const fs::path manifest = box.WriteFile(box.DataFolder() / "update.json", "{}");
  box.WriteFile(box.DataFolder() / "Patch", "not a patch");
  WaitingRun runner(box);
  ASSERT_TRUE(runner.Started());
  EXPECT_TRUE(fs::exists(manifest));  // untouched while the application runs
  EXPECT_EQ(runner.End().exitCode, 0);
  EXPECT_FALSE(fs::exists(manifest));  // consumed after it has ended
}

}  // namespace
}  // namespace runner_test
