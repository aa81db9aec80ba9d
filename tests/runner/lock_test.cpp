// End-to-end runs of the single-instance lock: whatever lies at the lock path, and however
// runners meet, exactly one of them runs the application, and none is locked out for good.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include "app/runner/lock_name.h"
#include "tests/runner/sandbox.h"
#include "tests/standin/standin_copy.h"
#include "tests/runner/update_files.h"
#include "tests/support/file_io.h"
#include "tests/support/runner_log_lines.h"

namespace runner_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

const char kLockName[] = QR_RUNNER_LOCK_NAME;

// A second runner while the first holds the lock: exits 0 at once, silently, starting nothing.
void ExpectLockedOut(Sandbox& box) {
  const size_t runsBefore = box.Runs().size();
  const size_t linesBefore = box.LogMessages().size();
  const RunResult second = box.Run();
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(box.Runs().size(), runsBefore);
  EXPECT_EQ(box.LogMessages().size(), linesBefore);
}

TEST(Lock, FileLeftWithTheLivePidOfAnotherProcessDoesNotLockOut) {
  Sandbox box;
  box.InstallApp("1.0.0");
  // What a runner ended by a signal leaves: its pid, and the pid now names a live process.
  const std::string pid = std::to_string(::getpid());
  const fs::path lock =
      box.WriteFile(box.Home() / kLockName, std::string(pid.c_str(), pid.size() + 1));
  fs::permissions(lock, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
  // The content is never trusted, and never rewritten either.
  EXPECT_EQ(hl_test::read_text(lock), std::string(pid.c_str(), pid.size() + 1));
}

TEST(Lock, EmptyOrWorldReadableFileStillExcludes) {
  for (const fs::perms mode : {fs::perms::owner_read | fs::perms::owner_write,
                               fs::perms::owner_read | fs::perms::owner_write |
                                   fs::perms::group_read | fs::perms::others_read,
                               fs::perms::owner_read}) {
    SCOPED_TRACE(static_cast<int>(mode));
    Sandbox box;
    box.InstallApp("1.0.0");
    const fs::path lock = box.WriteFile(box.Home() / kLockName, "");
    fs::permissions(lock, mode, fs::perm_options::replace);
    WaitingRun first(box);
    ASSERT_TRUE(first.Started());
    ExpectLockedOut(box);
    const RunResult firstResult = first.End();
    EXPECT_EQ(firstResult.exitCode, 0);
    EXPECT_EQ(firstResult.err, "");
    EXPECT_EQ(box.Run().exitCode, 0);
    EXPECT_EQ(box.Runs().size(), 2u);
  }
}

// The lock cannot be had: the runner says why, on standard error and in its log, and runs.
void ExpectRunWithoutLock(Sandbox& box, const std::string& reason) {
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  const std::string line =
      "single-instance lock not taken: " + (box.Home() / kLockName).string() + ": " + reason;
  EXPECT_EQ(result.err, line + "\n");
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
  EXPECT_THAT(box.LogMessages(),
              ElementsAre("INFO [default] " + line, hl_test::exe_path_line(box.InstalledExe())));
}

TEST(Lock, FolderAtTheLockPathIsReportedAndTheRunnerGoesOn) {
  Sandbox box;
  box.InstallApp("1.0.0");
  fs::create_directories(box.Home() / kLockName);
  ExpectRunWithoutLock(box, "Is a directory");
}

TEST(Lock, LinkAtTheLockPathIsNotFollowed) {
  Sandbox box;
  box.InstallApp("1.0.0");
  const fs::path target = box.WriteFile(box.Root() / "elsewhere", "keep");
  fs::create_symlink(target, box.Home() / kLockName);
  ExpectRunWithoutLock(box, "Too many levels of symbolic links");
  EXPECT_EQ(hl_test::read_text(target), "keep");
}

TEST(Lock, FifoAtTheLockPathNeitherBlocksNorLocks) {
  Sandbox box;
  box.InstallApp("1.0.0");
  const Barrier fifo(box.Home() / kLockName);
  ExpectRunWithoutLock(box, "not a regular file");
}

TEST(Lock, UnwritableHomeIsReportedAndTheRunnerGoesOn) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.WithoutFileAccessOverride();
  fs::permissions(box.Home(), fs::perms::owner_read | fs::perms::owner_exec,
                  fs::perm_options::replace);
  ExpectRunWithoutLock(box, "Permission denied");
}

TEST(Lock, DeletedWhileARunnerRunsStillExcludes) {
  Sandbox box;
  box.InstallApp("1.0.0");
  WaitingRun first(box);
  ASSERT_TRUE(first.Started());
  ASSERT_TRUE(fs::remove(box.Home() / kLockName));
  ExpectLockedOut(box);
  // Again, now that the second runner made a new file of that name.
  ExpectLockedOut(box);
  EXPECT_EQ(first.End().exitCode, 0);
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs().size(), 2u);
}

TEST(Lock, KilledHolderReleasesTheLock) {
  Sandbox box;
  box.InstallApp("1.0.0");
  WaitingRun first(box);
  ASSERT_TRUE(first.Started());
  EXPECT_EQ(first.Kill().signal, SIGKILL);
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs().size(), 2u);
}

// Two runners released at the same instant, again and again: one runs the application, the
// other exits without starting anything.
TEST(Lock, TwoRunnersStartedTogetherRunTheApplicationOnce) {
  constexpr int kTries = 50;
  Sandbox box;
  box.InstallApp("1.0.0");
  for (int attempt = 0; attempt < kTries; ++attempt) {
    SCOPED_TRACE("try " + std::to_string(attempt));
    const fs::path release = box.Root() / ("release-" + std::to_string(attempt));
    box.OnRun("1.0.0", "wait|" + release.string());
    Barrier barrier(box.Root() / ("barrier-" + std::to_string(attempt)));
    const pid_t a = box.Start(&barrier);
    const pid_t b = box.Start(&barrier);
    // Both are in their read by then, so one write lets them go together.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    barrier.Release(2);
    const size_t before = static_cast<size_t>(attempt);
    // The loser ends at once; the winner waits for its application.
    ASSERT_TRUE(hl_test::eventually(
        [&] { return box.Ended(a) || box.Ended(b) || box.Runs().size() > before + 1; }));
    ASSERT_TRUE(hl_test::eventually([&] { return box.Runs().size() > before; }));
    const size_t runs = box.Runs().size();
    box.WriteFile(release, "");
    const RunResult first = box.Finish(a);
    const RunResult second = box.Finish(b);
    EXPECT_EQ(first.exitCode, 0);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(first.err + second.err, "");
    ASSERT_EQ(runs, static_cast<size_t>(attempt + 1)) << "both runners started the application";
    ASSERT_EQ(box.Runs().size(), static_cast<size_t>(attempt + 1));
  }
}

// Without the single-instance lock (its name taken by a folder) runners released together all
// run the application and then all try to install the one staged update: the install lock lets
// one of them do it, and no update is lost or half-made.
class LocklessRace : public ::testing::TestWithParam<int> {};

TEST_P(LocklessRace, EveryUpdateIsInstalledOnce) {
  const int runners = GetParam();
  const int tries = runners > 2 ? 12 : 25;
  Sandbox box;
  box.InstallApp("1.0.0");
  fs::create_directories(box.Home() / kLockName);
  std::string current = "1.0.0";
  const fs::path base = box.Root() / "base";
  hl_test::write_file(base, StandinBytes(current));
  int lost = 0;
  for (int attempt = 1; attempt <= tries; ++attempt) {
    const std::string next = "1.0." + std::to_string(attempt);
    StageUpdate(box, MakeVersionPatch(base, next),
                Manifest(Sha256Hex(StandinBytes(current)), Sha256Hex(StandinBytes(next)), false));
    Barrier barrier(box.Root() / ("barrier-" + std::to_string(attempt)));
    std::vector<pid_t> started;
    for (int i = 0; i < runners; ++i) started.push_back(box.Start(&barrier));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    barrier.Release(runners);
    for (const pid_t pid : started) EXPECT_EQ(box.Finish(pid).exitCode, 0);
    // An update that is still staged is kept for a later run, which is not a loss.
    const bool pending = fs::exists(box.DataFolder() / "Patch");
    if (!pending &&
        (!fs::exists(box.StagedExe()) || hl_test::read_file(box.StagedExe()) != StandinBytes(next)))
      ++lost;
    if (pending) fs::remove(box.DataFolder() / "Patch");
    fs::remove(box.DataFolder() / "update.json");
    current = fs::exists(box.StagedExe()) ? standin::VersionOf(box.StagedExe().string()) : "1.0.0";
    hl_test::write_file(base, StandinBytes(current));
  }
  EXPECT_EQ(lost, 0);
  for (const std::string& line : box.LogMessages())
    EXPECT_THAT(line, Not(HasSubstr("does not match sha256"))) << line;
}

INSTANTIATE_TEST_SUITE_P(Runners, LocklessRace, ::testing::Values(2, 10));

}  // namespace
}  // namespace runner_test
