// The data-folder files of the OS layer: nothing followed through a link, only regular files
// opened, never blocked by a FIFO, exclusive creation, and the SHA-256 of a file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>

#include "app/runner/data_folder.h"
#include "app/runner/os/os.h"
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
  EXPECT_EQ(DataFile::CreateNew(Path("link"), error), nullptr);
  EXPECT_EQ(DataFile::CreateNew(target, error), nullptr);

  std::unique_ptr<DataFile> fresh = runner::CreateFresh(Path("link"), error);
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
  ASSERT_NE(runner::CreateFresh(Path("busy"), error), nullptr) << error.message();
  EXPECT_TRUE(fs::is_directory(Path("busy.aside-2/inside")));
  EXPECT_EQ(hl_test::read_text(Path("busy.aside-1")), "taken");
}

TEST_F(DataFiles, PathWhileOpenKeepsNamingTheOpenFile) {
  const std::string path = Write("Patch", "the patch");
  EntryKind kind;
  std::error_code error;
  std::unique_ptr<DataFile> file = DataFile::OpenRegular(path, false, kind, error);
  ASSERT_NE(file, nullptr);
  fs::rename(path, Path("moved"));
  Write("Patch", "something else");
  EXPECT_EQ(hl_test::read_text(file->PathWhileOpen()), "the patch");
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
  EXPECT_TRUE(runner::os::FreeSpace(m_folder.string()).has_value());
  EXPECT_FALSE(runner::os::FreeSpace(Path("absent")).has_value());
}

}  // namespace
