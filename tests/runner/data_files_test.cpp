// The data-folder files of the OS layer: nothing followed through a link, only regular files
// opened, never blocked by a FIFO, exclusive creation, and the SHA-256 of a file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cstdio>
#include <filesystem>

#include "app/runner/data_folder.h"
#include "app/runner/os/os.h"
#include "app/runner/update_attempts.h"
#include "tests/support/file_io.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using runner::os::DataFile;
using runner::os::EntryKind;

class DataFiles : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& content) {
    hl_test::write_text(m_folder / name, content);
    return Path(name);
  }
  std::string Path(const std::string& name) const { return (m_folder / name).string(); }

  hl_test::TempDir m_dir{"data-files", QR_TEST_SCRATCH};
  const fs::path m_folder = m_dir.path();
};

TEST_F(DataFiles, OnlyRegularFilesOpenAndNothingElseBlocksOrIsFollowed) {
  const std::string target = Write("target", "user's file");
  fs::create_symlink(target, Path("link"));
  fs::create_symlink("loop", Path("loop"));
  fs::create_directories(Path("folder/inside"));
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);

  EntryKind kind = EntryKind::regularFile;
  std::error_code error;
  EXPECT_EQ(DataFile::OpenRegular(Path("absent"), false, kind, error), nullptr);
  EXPECT_EQ(kind, EntryKind::absent);
  for (const char* name : {"link", "loop", "folder", "fifo"}) {
    // A FIFO without a writer would hold a blocking open for ever.
    EXPECT_EQ(DataFile::OpenRegular(Path(name), false, kind, error), nullptr) << name;
    EXPECT_EQ(kind, EntryKind::other) << name;
    EXPECT_EQ(runner::os::ExamineEntry(Path(name), error), EntryKind::other) << name;
  }
  std::unique_ptr<DataFile> file = DataFile::OpenRegular(target, false, kind, error);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(kind, EntryKind::regularFile);
  EXPECT_EQ(file->Size(error), 11u);
  EXPECT_EQ(runner::os::ExamineEntry(Path("absent/below"), error), EntryKind::absent);
}

TEST_F(DataFiles, CreationIsExclusiveAndFreshCreationNeverWritesThroughALink) {
  const std::string target = Write("target", "user's file");
  fs::create_symlink(target, Path("link"));
  std::error_code error;
  EXPECT_EQ(DataFile::CreateNew(Path("link"), false, error), nullptr);
  EXPECT_EQ(DataFile::CreateNew(target, false, error), nullptr);

  std::unique_ptr<DataFile> fresh = runner::CreateFresh(Path("link"), false, error);
  ASSERT_NE(fresh, nullptr) << error.message();
  ASSERT_TRUE(fresh->Write("runner's own", 12, error));
  fresh.reset();
  EXPECT_EQ(hl_test::read_text(target), "user's file");
  EXPECT_EQ(fs::symlink_status(Path("link")).type(), fs::file_type::regular);
  EXPECT_EQ(hl_test::read_text(Path("link")), "runner's own");

  // Removal takes the link itself, never its target; what an interrupted run left goes too.
  fs::create_symlink(target, Path("other link"));
  ASSERT_TRUE(runner::RemoveEntry(Path("other link"), error)) << error.message();
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("other link"))));
  EXPECT_EQ(hl_test::read_text(target), "user's file");
  Write("Patch.fresh-3", "");
  Write("Patch.fresh-x", "not the runner's");
  runner::RemoveLeftoverFreshFiles(m_folder.string());
  EXPECT_FALSE(fs::exists(Path("Patch.fresh-3")));
  EXPECT_TRUE(fs::exists(Path("Patch.fresh-x")));

  // A folder that cannot be removed is set aside under a free name.
  fs::create_directories(Path("busy/inside"));
  Write("busy.aside-1", "taken");
  ASSERT_NE(runner::CreateFresh(Path("busy"), false, error), nullptr) << error.message();
  EXPECT_TRUE(fs::is_directory(Path("busy.aside-2/inside")));
  EXPECT_EQ(hl_test::read_text(Path("busy.aside-1")), "taken");
}

TEST_F(DataFiles, StdioStreamReachesTheOpenFileWhateverTakesItsName) {
  const std::string path = Write("Patch", "the patch");
  EntryKind kind;
  std::error_code error;
  std::unique_ptr<DataFile> file = DataFile::OpenRegular(path, false, kind, error);
  ASSERT_NE(file, nullptr);
  fs::rename(path, Path("moved"));
  Write("Patch", "something else");
  std::FILE* stream = file->OpenStdio("rb", error);
  ASSERT_NE(stream, nullptr) << error.message();
  char bytes[16] = {};
  EXPECT_EQ(std::fread(bytes, 1, sizeof bytes, stream), 9u);
  std::fclose(stream);
  EXPECT_EQ(std::string(bytes), "the patch");
}

TEST_F(DataFiles, OwnFilesAreTheOwnersWhateverTheUmaskAndTheLogNeverReachesAnotherFile) {
  const mode_t previous = ::umask(0222);
  std::error_code error;
  std::unique_ptr<DataFile> plain = DataFile::CreateNew(Path("plain"), false, error);
  std::unique_ptr<DataFile> program = DataFile::CreateNew(Path("program"), true, error);
  ::umask(previous);
  ASSERT_NE(plain, nullptr);
  ASSERT_NE(program, nullptr);
  EXPECT_EQ(fs::status(Path("plain")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(Path("program")).permissions(), fs::perms::owner_all);

  const std::string users = Write("user's file", "kept");
  fs::create_hard_link(users, Path("hard link"));
  fs::create_symlink(users, Path("soft link"));
  EntryKind kind;
  for (const char* name : {"hard link", "soft link"}) {
    EXPECT_EQ(DataFile::OpenLog(Path(name), kind, error), nullptr) << name;
    EXPECT_EQ(kind, EntryKind::other) << name;
  }
  std::unique_ptr<DataFile> log = DataFile::OpenLog(Path("log"), kind, error);
  ASSERT_NE(log, nullptr) << error.message();
  ASSERT_TRUE(log->Write("one\n", 4, error));
  log = DataFile::OpenLog(Path("log"), kind, error);
  ASSERT_TRUE(log->Write("two\n", 4, error));
  EXPECT_EQ(hl_test::read_text(Path("log")), "one\ntwo\n");
  EXPECT_EQ(hl_test::read_text(users), "kept");
}

TEST_F(DataFiles, InstallLockIsExclusiveAndAMovedFileIsCheckedToBeTheOneInPlace) {
  const runner::DataFolder folder(m_folder.string() + "/");
  std::error_code error;
  std::unique_ptr<runner::os::FileLock> held = runner::TakeInstallLock(folder, error);
  ASSERT_NE(held, nullptr) << runner::InstallLockProblem(error);
  EXPECT_EQ(runner::TakeInstallLock(folder, error), nullptr);
  EXPECT_EQ(error, runner::HeldByAnotherRunner());
  EXPECT_EQ(runner::InstallLockProblem(error), "another runner is installing");
  EXPECT_EQ(runner::InstallLockProblem(std::make_error_code(std::errc::permission_denied)),
            "update.lock cannot be locked: " +
                std::make_error_code(std::errc::permission_denied).message());
  EXPECT_EQ(runner::InstallLockProblem(std::error_code()), "");
  EXPECT_EQ(runner::TakeInstallLock(runner::DataFolder(), error), nullptr);
  EXPECT_FALSE(error);
  held.reset();
  // A folder at the lock's name is set aside and the lock taken on a file of the runner's.
  fs::remove(folder.installLock);
  fs::create_directory(folder.installLock);
  EXPECT_NE(runner::TakeInstallLock(folder, error), nullptr) << runner::InstallLockProblem(error);
  EXPECT_TRUE(fs::is_directory(folder.installLock + ".aside-1"));

  std::unique_ptr<DataFile> result = runner::CreateFresh(folder.patchResult, true, error);
  ASSERT_NE(result, nullptr);
  // Another process renames its own file over the name the result is moved from.
  Write("fake", "fake");
  fs::rename(Path("fake"), folder.patchResult);
  EXPECT_FALSE(runner::MoveInPlace(*result, folder.stagedExecutable, error));
  EXPECT_EQ(error, runner::TakenMeanwhile());
  std::unique_ptr<DataFile> again = runner::CreateFresh(folder.patchResult, true, error);
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(runner::MoveInPlace(*again, folder.stagedExecutable, error)) << error.message();
  EXPECT_EQ(again->Path(), folder.stagedExecutable);
}

TEST_F(DataFiles, KeptCountsAreBoundedDecimalsOfTheirOwnKey) {
  const std::string file = Path("update.attempts");
  const runner::KeyedCount count(file);
  const std::pair<std::string, std::optional<uint32_t>> texts[] = {{"abc 2\n", 2u},
                                                                   {"abc 0", 0u},
                                                                   {"abc 2147483647\n", 3u},
                                                                   {"abc 99999999999999999999", 3u},
                                                                   {"abc -1\n", std::nullopt},
                                                                   {"abc 1x", std::nullopt},
                                                                   {"abc \n", std::nullopt},
                                                                   {"abcd 1", std::nullopt},
                                                                   {"xyz 1", std::nullopt}};
  for (const auto& [text, expected] : texts) {
    Write("update.attempts", text);
    EXPECT_EQ(count.Find("abc"), expected) << text;
  }
  Write("update.attempts", "abc 2\n");
  runner::UpdateAttempts attempts(file);
  EXPECT_EQ(attempts.CountFailure("abc"), 3u);
  EXPECT_TRUE(attempts.IsExhausted("abc"));
  EXPECT_EQ(attempts.CountFailure("other"), 1u);
  EXPECT_FALSE(attempts.IsExhausted("abc"));
  attempts.Clear();
  EXPECT_FALSE(attempts.AnyKept());
}

TEST_F(DataFiles, Sha256OfKnownContents) {
  EntryKind kind;
  std::error_code error;
  const std::pair<std::string, std::string> known[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(3 << 20, 'a') + "b", ""}};
  for (const auto& [content, digest] : known) {
    std::unique_ptr<DataFile> file = DataFile::OpenRegular(Write("f", content), false, kind, error);
    ASSERT_NE(file, nullptr);
    const std::optional<std::string> got = runner::os::Sha256OfFile(*file, error);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->size(), 64u);
    if (!digest.empty()) {
      EXPECT_EQ(*got, digest);
    }
    // Hashing starts from the start, wherever the file stood.
    EXPECT_EQ(runner::os::Sha256OfFile(*file, error), got);
  }
}

TEST_F(DataFiles, FreeSpaceIsKnownForAFolderOnly) {
  std::error_code error;
  EXPECT_TRUE(runner::os::FreeSpace(m_folder.string(), error).has_value());
  EXPECT_FALSE(error);
  EXPECT_FALSE(runner::os::FreeSpace(Path("absent"), error).has_value());
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

}  // namespace
