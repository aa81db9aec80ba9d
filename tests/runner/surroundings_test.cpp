// End-to-end runs of the runner in unusual process surroundings: closed standard streams, a
// standard output nobody reads, a file size limit, a relative XDG_DATA_HOME.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/runner/lock_name.h"
#include "tests/runner/sandbox.h"
#include "tests/runner/update_files.h"
#include "tests/support/file_io.h"
#include "tests/support/runner_log_lines.h"

namespace runner_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const char kLockName[] = QR_RUNNER_LOCK_NAME;

// The installed 1.0.0 stages a forced update to 2.0.0 while it runs.
void StageForcedUpdate(Sandbox& box) {
  box.InstallApp("1.0.0");
  const fs::path patch = box.Root() / "patch-to-2.0.0";
  hl_test::write_file(patch, MakeVersionPatch(box.InstalledExe(), "2.0.0"));
  const fs::path manifest = box.WriteFile(box.Root() / "manifest", R"({"force": true})");
  box.OnRun("1.0.0", "once|" + (box.Root() / "once").string() + ";stage|" + patch.string() + "|" +
                         manifest.string());
}

void ExpectUpdateInstalledAndStarted(const Sandbox& box) {
  EXPECT_EQ(box.Runs(), (std::vector<std::string>{"run 1.0.0", "run 2.0.0"}));
  EXPECT_EQ(hl_test::read_file(box.StagedExe()), StandinBytes("2.0.0"));
  for (const char* name : {"Patch", "update.json", "Quorlin_old.exe", "Quorlin_new.exe"})
    EXPECT_FALSE(fs::exists(box.DataFolder() / name)) << name;
}

TEST(Surroundings, ClosedStandardStreamsAreTheNullDeviceForTheRunnerAndItsChildren) {
  Sandbox box;
  StageForcedUpdate(box);
  box.OnProbe("2.0.0", "surroundings");
  box.SetStreams(Streams::closed);
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  ExpectUpdateInstalledAndStarted(box);
  // No log line, trace or application output landed in the runner's own files.
  EXPECT_EQ(fs::file_size(box.Home() / kLockName), 0u);
  EXPECT_THAT(box.LogMessages(), ElementsAre(hl_test::exe_path_line(box.InstalledExe()),
                                             hl_test::exe_path_line(box.StagedExe())));
  // The probe reads the null device, and children get the signals' defaults back.
  EXPECT_THAT(box.Journal(),
              ::testing::Contains("surroundings stdin=open sigpipe=default sigxfsz=default"));
}

TEST(Surroundings, StandardOutputWithoutAReaderDoesNotStopAnUpdate) {
  Sandbox box;
  StageForcedUpdate(box);
  box.SetStreams(Streams::readerGone);
  const RunResult result = box.Run();
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitCode, 0);
  ExpectUpdateInstalledAndStarted(box);
  EXPECT_THAT(box.LogMessages(), ElementsAre(hl_test::exe_path_line(box.InstalledExe()),
                                             hl_test::exe_path_line(box.StagedExe())));
}

TEST(Surroundings, FileSizeLimitFailsTheCopyInsteadOfEndingTheRunner) {
  Sandbox box;
  StageForcedUpdate(box);
  box.LimitFileSize(16384);  // room for log lines, not for a copy of the executable
  const RunResult result = box.Run();
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
  ASSERT_EQ(box.LogMessages().size(), 3u) << ::testing::PrintToString(box.LogMessages());
  EXPECT_THAT(box.LogMessages()[1], HasSubstr("INFO [default] backup copy failed: "));
  EXPECT_THAT(box.LogMessages()[1], HasSubstr("update kept for a later run"));
  EXPECT_FALSE(fs::exists(box.StagedExe()));

  // The staged update waits for the next run, which installs it.
  box.LimitFileSize(0);
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(hl_test::read_file(box.StagedExe()), StandinBytes("2.0.0"));
}

TEST(Surroundings, RelativeDataHomeIsIgnored) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.SetEnv("XDG_DATA_HOME", "relative/data");
  EXPECT_EQ(box.Run().exitCode, 0);
  const fs::path log = box.Home() / ".local" / "share" / "Quorlin" / "logs.log";
  EXPECT_EQ(hl_test::read_text(log).substr(24), hl_test::exe_path_line(box.InstalledExe()) + "\n");
  EXPECT_FALSE(fs::exists(box.WorkFolder() / "relative"));
}

}  // namespace
}  // namespace runner_test
