// The data folder as hostile ground: links are never written through, only regular files are
// read and nothing blocks the runner, what cannot be used is set aside, resources are bounded,
// passing failures keep the update for a later run and no failed update restarts the application.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include "tests/runner/sandbox.h"
#include "tests/runner/update_files.h"
#include "tests/standin/standin_copy.h"
#include "tests/support/file_io.h"
#include "tests/support/runner_log_lines.h"

namespace runner_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

Bytes PatchFromInstalled(const Sandbox& box, const std::string& toVersion,
                         hldiff::Compression compression = hldiff::Compression::None) {
  return MakeVersionPatch(box.InstalledExe(), toVersion, compression);
}

void MakeFifo(const fs::path& path) {
  fs::create_directories(path.parent_path());
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
}

TEST(HostileData, LinksAtTheRunnersOwnNamesAreReplacedNeverWrittenThrough) {
  for (const char* name :
       {"Quorlin_old.exe", "Quorlin_new.exe", "crashpad_handler_new.exe", "update.attempts"}) {
    SCOPED_TRACE(name);
    Sandbox box;
    box.InstallApp("1.0.0");
    box.WriteFile(box.WorkFolder() / "crashpad_handler.exe", "crash handler");
    const fs::path victim = box.WriteFile(box.Root() / "user file", "a file of the user's");
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::replace);
    StageUpdate(box, PatchFromInstalled(box, "2.0.0"), "{}");
    fs::create_symlink(victim, box.DataFolder() / name);
    EXPECT_EQ(box.Run().exitCode, 0);
    EXPECT_EQ(hl_test::read_text(victim), "a file of the user's");
    EXPECT_EQ(fs::status(victim).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(hl_test::read_file(box.StagedExe()), StandinBytes("2.0.0"));
    EXPECT_EQ(hl_test::read_text(box.DataFolder() / "crashpad_handler.exe"), "crash handler");
  }
}

TEST(HostileData, StagingFilesThatAreLinksOrFifosAreSetAsideWithoutBlocking) {
  struct Case {
    const char* name;
    bool fifo;
  };
  for (const Case& entry : {Case{"Patch", true}, Case{"update.json", true}, Case{"Patch", false},
                            Case{"update.json", false}}) {
    SCOPED_TRACE(std::string(entry.name) + (entry.fifo ? " fifo" : " link"));
    Sandbox box;
    box.InstallApp("1.0.0");
    StageUpdate(box, PatchFromInstalled(box, "2.0.0"));
    const fs::path path = box.DataFolder() / entry.name;
    const fs::path real = box.Root() / "real staging file";
    fs::rename(path, real);
    if (entry.fifo)
      MakeFifo(path);
    else
      fs::create_symlink(real, path);
    EXPECT_EQ(box.Run().exitCode, 0);
    EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
    EXPECT_EQ(box.LogMessages().at(1), "INFO [default] " + std::string(entry.name) +
                                           " is not a regular file: set aside as " + entry.name +
                                           ".aside-1");
    EXPECT_FALSE(fs::exists(box.StagedExe()));
    EXPECT_TRUE(
        fs::exists(fs::symlink_status(box.DataFolder() / (std::string(entry.name) + ".aside-1"))));
  }
}

TEST(HostileData, LogFileThatIsNoRegularFileOfItsOwnMeansNoLogFileThisRun) {
  enum class Kind {
    fifo,
    symlink,
    hardLink
  };
  for (const Kind kind : {Kind::fifo, Kind::symlink, Kind::hardLink}) {
    SCOPED_TRACE(static_cast<int>(kind));
    Sandbox box;
    box.InstallApp("1.0.0");
    const fs::path usersFile = box.Root() / "user's notes";
    hl_test::write_text(usersFile, "notes\n");
    fs::create_directories(box.DataFolder());
    if (kind == Kind::fifo) MakeFifo(box.LogFile());
    if (kind == Kind::symlink) fs::create_symlink(usersFile, box.LogFile());
    if (kind == Kind::hardLink) fs::create_hard_link(usersFile, box.LogFile());
    const RunResult result = box.Run();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
    EXPECT_EQ(result.err, "logs.log is not a regular file: no log file this run\n");
    EXPECT_EQ(hl_test::read_text(usersFile), "notes\n");
  }
  Sandbox box;
  box.InstallApp("1.0.0");
  MakeFifo(box.LogFile());
  box.Run();
  EXPECT_EQ(fs::status(box.LogFile()).type(), fs::file_type::fifo);
}

TEST(HostileData, LogFileOverItsLimitIsMovedAsideAtTheNextStart) {
  Sandbox box;
  box.InstallApp("1.0.0");
  fs::create_directories(box.DataFolder());
  const fs::path older = box.DataFolder() / "logs.log.1";
  hl_test::write_text(older, "older\n");
  hl_test::write_text(box.LogFile(), std::string((4 << 20) + 1, 'x'));
  box.Run();
  EXPECT_EQ(fs::file_size(older), (size_t(4) << 20) + 1);
  EXPECT_EQ(box.LogMessages().at(0), "INFO [default] logs.log was over 4 MiB: moved to logs.log.1");
  // At the limit itself it stays.
  hl_test::write_text(box.LogFile(), std::string(4 << 20, 'x'));
  box.Run();
  EXPECT_GT(fs::file_size(box.LogFile()), size_t(4) << 20);
}

TEST(HostileData, LeftoverBackupCopyThatIsAFifoIsReplaced) {
  Sandbox box;
  box.InstallApp("1.0.0");
  StageUpdate(box, PatchFromInstalled(box, "2.0.0"), "{}");
  MakeFifo(box.DataFolder() / "Quorlin_old.exe");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(hl_test::read_file(box.StagedExe()), StandinBytes("2.0.0"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(box.DataFolder() / "Quorlin_old.exe")));
}

// The header's size fields decide where the decompressor prefix starts.
size_t HeaderSize(const Bytes& patch) { return 4 + (patch[3] & 7) + ((patch[3] >> 3) & 7); }

TEST(HostileData, PatchWhoseMemoryExceedsTheLimitIsRefusedBeforeAllocating) {
  Sandbox box;
  box.InstallApp("1.0.0");
  Bytes tuz = PatchFromInstalled(box, "2.0.0", hldiff::Compression::Tuz);
  const size_t prefix = HeaderSize(tuz);
  tuz[prefix] = 0, tuz[prefix + 1] = 0, tuz[prefix + 2] = 0,
  tuz[prefix + 3] = 0x40;  // a 2^30 dictionary
  Bytes lzma2 = PatchFromInstalled(box, "2.0.0", hldiff::Compression::Lzma2);
  lzma2[HeaderSize(lzma2)] = 40;  // a 4 GiB dictionary
  // M + I + P exactly 256 MiB: the old file's read window takes the run's block past the limit.
  Bytes atLimit = PatchFromInstalled(box, "2.0.0", hldiff::Compression::Tuz);
  const size_t at = HeaderSize(atLimit);
  atLimit[at] = 0x00, atLimit[at + 1] = 0x80, atLimit[at + 2] = 0xFF, atLimit[at + 3] = 0x0F;
  for (const Bytes& patch : {tuz, lzma2, atLimit}) {
    StageUpdate(box, patch);
    const RunResult result = box.Run();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_THAT(result.out, Not(HasSubstr("hpatchi run")));
    EXPECT_THAT(
        box.LogMessages(),
        ElementsAre(
            hl_test::exe_path_line(box.InstalledExe()),
            MatchesRegex(
                ".*patch needs [0-9]+ bytes of memory, more than the 256 MiB allowed: update "
                "dropped"),
            hl_test::kForceNotHonouredLine));
    EXPECT_FALSE(fs::exists(box.StagedExe()));
    EXPECT_FALSE(fs::exists(box.DataFolder() / "Patch"));
    fs::remove(box.LogFile());
  }
}

TEST(HostileData, ManifestOverOneMebibyteIsRefusedUnread) {
  Sandbox box;
  box.InstallApp("1.0.0");
  StageUpdate(box, PatchFromInstalled(box, "2.0.0"), std::string((1 << 20) + 1, ' ') + "{}");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_THAT(box.LogMessages(),
              ElementsAre(hl_test::exe_path_line(box.InstalledExe()),
                          "INFO [default] update.json is larger than 1 MiB: update dropped"));
  EXPECT_FALSE(fs::exists(box.DataFolder() / "update.json"));
  EXPECT_FALSE(fs::exists(box.StagedExe()));
}

TEST(HostileData, FailingForcedUpdateStagedAtEveryRunStartsTheApplicationOnce) {
  Sandbox box;
  box.InstallApp("1.0.0");
  const fs::path patch = box.WriteFile(box.Root() / "bad patch", "hI not a patch");
  const fs::path manifest = box.WriteFile(box.Root() / "manifest", R"({"force": true})");
  box.OnRun("1.0.0", "stage|" + patch.string() + "|" + manifest.string());
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
  EXPECT_THAT(box.LogMessages(),
              ElementsAre(hl_test::exe_path_line(box.InstalledExe()),
                          hl_test::patch_failed_line(20), hl_test::kForceNotHonouredLine));
}

// Lowers the file size limit of the runner started while alive: its writes fail for lack of room.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &m_saved);
    rlimit capped = m_saved;
    capped.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &capped);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_saved); }

 private:
  rlimit m_saved{};
};

TEST(HostileData, BackupCopyWithoutRoomKeepsTheUpdateForThreeAttempts) {
  Sandbox box;
  box.InstallApp("1.0.0");
  StageUpdate(box, PatchFromInstalled(box, "2.0.0"));
  const rlim_t limit = fs::file_size(box.InstalledExe()) / 2;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    SCOPED_TRACE(attempt);
    fs::remove(box.LogFile());
    fs::remove(box.Root() / "journal");
    {
      FileSizeLimit capped(limit);
      EXPECT_EQ(box.Run().exitCode, 0);
    }
    EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
    const std::string why = "INFO [default] backup copy failed: File too large";
    if (attempt < 3) {
      EXPECT_THAT(box.LogMessages(), ElementsAre(hl_test::exe_path_line(box.InstalledExe()),
                                                 why + ": update kept for a later run (attempt " +
                                                     std::to_string(attempt) + " of 3)",
                                                 hl_test::kForceNotHonouredLine));
      EXPECT_TRUE(fs::exists(box.DataFolder() / "Patch"));
      EXPECT_TRUE(fs::exists(box.DataFolder() / "update.json"));
    } else {
      EXPECT_THAT(box.LogMessages(), ElementsAre(hl_test::exe_path_line(box.InstalledExe()),
                                                 why + " (attempt 3): update dropped",
                                                 hl_test::kForceNotHonouredLine));
      EXPECT_FALSE(fs::exists(box.DataFolder() / "Patch"));
      EXPECT_FALSE(fs::exists(box.DataFolder() / "update.json"));
      EXPECT_FALSE(fs::exists(box.DataFolder() / "update.attempts"));
    }
    EXPECT_FALSE(fs::exists(box.DataFolder() / "Quorlin_old.exe"));
    EXPECT_FALSE(fs::exists(box.StagedExe()));
  }
}

TEST(HostileData, FullDiskMakesTheUpdateWaitUntilThereIsRoom) {
  Sandbox box;
  box.InstallApp("1.0.0");
  if (!box.LimitDataFolder(4 << 20)) GTEST_SKIP() << "no tmpfs can be mounted here";
  StageUpdate(box, PatchFromInstalled(box, "2.0.0"));
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
  EXPECT_THAT(
      box.LogMessages(),
      ElementsAre(
          hl_test::exe_path_line(box.InstalledExe()),
          MatchesRegex(".*not enough disk space for the update: [0-9]+ bytes needed, [0-9]+ free: "
                       "update kept for a later run \\(attempt 1 of 3\\)"),
          hl_test::kForceNotHonouredLine));
  EXPECT_TRUE(fs::exists(box.DataFolder() / "Patch"));
  EXPECT_FALSE(fs::exists(box.DataFolder() / "Quorlin_old.exe"));

  // Room again: the waiting update installs at the next run and is started at once.
  ASSERT_TRUE(box.LimitDataFolder(64 << 20));
  fs::remove(box.LogFile());
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs(), (std::vector<std::string>{"run 1.0.0", "run 1.0.0", "run 2.0.0"}));
  EXPECT_EQ(hl_test::read_file(box.StagedExe()), StandinBytes("2.0.0"));
  EXPECT_FALSE(fs::exists(box.DataFolder() / "update.attempts"));
}

}  // namespace
}  // namespace runner_test
