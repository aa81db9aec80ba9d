// The runner's Win32 OS layer checked from inside, under Wine: UTF-8 paths beyond MAX_PATH and
// outside any ANSI code page, files held by other handles, renames through a handle, the probe's
// capture and the single-instance mutex. The program also plays the probe's child, by its switches.
#include <gtest/gtest.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "app/runner/os/os.h"
#include "app/runner/os/single_instance.h"
#include "app/runner/os/wide_text_win32.h"

namespace runner::os {
namespace {

using namespace std::chrono_literals;

std::string SelfPath() {
  std::error_code error;
  return OwnExecutablePath(error).value_or(std::string());
}

// Cyrillic and CJK: no single ANSI code page spells both.
const std::string kMixedName = "\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd \xe6\xb5\x8b\xe8\xaf\x95";

// A fresh folder under the temporary folder, removed with what it holds.
class Folder {
 public:
  explicit Folder(const std::string& name) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    m_path = *Narrow(std::wstring(temp)) + "os-layer-" + name + "-" +
             std::to_string(::GetCurrentProcessId());
    Remove(m_path);
    std::error_code error;
    if (!CreateFolders(m_path, error))
      ADD_FAILURE() << "no folder " << m_path << ": " << error.message();
  }
  ~Folder() { Remove(m_path); }
  const std::string& Path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "\\" + name; }

 private:
  static void Remove(const std::string& path) {
    std::error_code error;
    if (std::optional<std::vector<std::string>> names = ListFolder(path, error))
      for (const std::string& name : *names) {
        ClearReadOnly(path + "\\" + name);
        if (!RemoveEntryItself(path + "\\" + name, error)) Remove(path + "\\" + name);
      }
    RemoveEntryItself(path, error);
  }
  std::string m_path;
};

std::unique_ptr<DataFile> MakeFile(const std::string& path, const std::string& content) {
  std::error_code error;
  std::unique_ptr<DataFile> file = DataFile::CreateNew(path, false, error);
  EXPECT_TRUE(file) << path << ": " << error.message();
  if (file) {
    EXPECT_TRUE(file->Write(content.data(), content.size(), error)) << error.message();
  }
  return file;
}

// Another program's handle on a file: no sharing of writes or removal, as a scanner opens it.
HANDLE HoldWithoutDeleteSharing(const std::string& path) {
  return ::CreateFileW(SystemPath(path)->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

// ---- Text and paths ----

TEST(Paths, Utf8RoundTripsThroughUtf16) {
  const std::optional<std::wstring> wide = Widen(kMixedName);
  ASSERT_TRUE(wide);
  EXPECT_EQ(*wide, L"\u0418\u0432\u0430\u043d \u6d4b\u8bd5");
  EXPECT_EQ(Narrow(*wide), kMixedName);
  EXPECT_FALSE(Widen("bad \xff byte"));
  EXPECT_FALSE(Narrow(std::wstring(L"half \xd800 pair")));
}

TEST(Paths, AbsolutePathsGetTheLongPathPrefix) {
  EXPECT_EQ(*SystemPath("C:\\a\\..\\b/c"), L"\\\\?\\C:\\b\\c");
  EXPECT_EQ(*SystemPath("\\\\server\\share\\x"), L"\\\\?\\UNC\\server\\share\\x");
  EXPECT_EQ(*SystemPath("\\\\?\\C:\\kept as it is\\.."), L"\\\\?\\C:\\kept as it is\\..");
}

TEST(Paths, OwnExecutableAndRoamingFolder) {
  std::error_code error;
  const std::optional<std::string> self = OwnExecutablePath(error);
  ASSERT_TRUE(self) << error.message();
  EXPECT_NE(self->find("windows_os_layer_tests.exe"), std::string::npos) << *self;
  const std::optional<std::string> roaming = RoamingFolder(error);
  ASSERT_TRUE(roaming) << error.message();
  EXPECT_EQ(ExamineEntry(*roaming, error), EntryKind::other) << *roaming;
}

// A folder and a file name that no ANSI code page spells, in a path far beyond MAX_PATH.
TEST(Paths, LongPathOutsideTheAnsiCodePage) {
  const Folder top("long");
  std::string folder = top.Path();
  while (folder.size() < 400) folder += "\\" + kMixedName + " folder";
  std::error_code error;
  ASSERT_TRUE(CreateFolders(folder + "\\", error)) << error.message();
  const std::string path = folder + "\\" + kMixedName + ".exe";
  std::unique_ptr<DataFile> file = MakeFile(path, "content");
  ASSERT_TRUE(file);
  EXPECT_EQ(ExamineEntry(path, error), EntryKind::regularFile) << error.message();
  EXPECT_TRUE(PathExists(path, error));
  EXPECT_FALSE(error);
  const std::optional<std::vector<std::string>> names = ListFolder(folder, error);
  ASSERT_TRUE(names) << error.message();
  EXPECT_EQ(*names, std::vector<std::string>{kMixedName + ".exe"});
  EXPECT_TRUE(FreeSpace(folder, error)) << error.message();
  file.reset();
  EXPECT_TRUE(RemoveEntryItself(path, error)) << error.message();
  EXPECT_EQ(ExamineEntry(path, error), EntryKind::absent);
  EXPECT_FALSE(PathExists(path, error));
}

TEST(Paths, EnvironmentReachesTheChild) {
  SetEnvironment("QR_OS_LAYER_VALUE", "C:\\" + kMixedName + "\\tessdata");
  std::string output;
  ASSERT_EQ(CaptureOutput(SelfPath(), "--print-value", 200, 10s, output), CaptureResult::captured);
  EXPECT_EQ(output, "C:\\" + kMixedName + "\\tessdata");
}

// ---- Files of the data folder ----

TEST(Files, MoveThroughTheHandleReplacesTheTarget) {
  const Folder folder("move");
  std::unique_ptr<DataFile> old = MakeFile(folder / "Quorlin.exe", "old");
  old.reset();
  std::unique_ptr<DataFile> fresh = MakeFile(folder / "Quorlin.exe.fresh-1", "new");
  ASSERT_TRUE(fresh);
  std::error_code error;
  ASSERT_TRUE(fresh->MoveTo(folder / "Quorlin.exe", error)) << error.message();
  EXPECT_EQ(fresh->Path(), folder / "Quorlin.exe");
  EXPECT_EQ(IdentityAt(folder / "Quorlin.exe", error), fresh->Identity(error));
  EXPECT_EQ(ExamineEntry(folder / "Quorlin.exe.fresh-1", error), EntryKind::absent);
}

TEST(Files, ReadAtLeavesThePosition) {
  const Folder folder("readat");
  std::unique_ptr<DataFile> file = MakeFile(folder / "data", "0123456789");
  ASSERT_TRUE(file);
  std::error_code error;
  ASSERT_TRUE(file->Rewind(error));
  char buffer[8] = {};
  size_t count = 3;
  ASSERT_TRUE(file->Read(buffer, count, error));
  count = 4;
  ASSERT_TRUE(file->ReadAt(6, buffer, count, error));
  EXPECT_EQ(std::string(buffer, count), "6789");
  count = 8;
  ASSERT_TRUE(file->ReadAt(8, buffer, count, error));
  EXPECT_EQ(std::string(buffer, count), "89");
  count = 2;
  ASSERT_TRUE(file->Read(buffer, count, error));
  EXPECT_EQ(std::string(buffer, count), "34");
}

TEST(Files, CreateNewRefusesAnythingThere) {
  const Folder folder("exclusive");
  ASSERT_TRUE(MakeFile(folder / "taken", "x"));
  std::error_code error;
  EXPECT_FALSE(DataFile::CreateNew(folder / "taken", false, error));
  EXPECT_EQ(error, std::errc::file_exists);
}

TEST(Files, LogAppendsAndRefusesASecondName) {
  const Folder folder("log");
  EntryKind kind;
  std::error_code error;
  for (const char* line : {"one\n", "two\n"}) {
    std::unique_ptr<DataFile> log = DataFile::OpenLog(folder / "logs.log", kind, error);
    ASSERT_TRUE(log) << error.message();
    ASSERT_TRUE(log->Write(line, 4, error)) << error.message();
  }
  std::unique_ptr<DataFile> read = DataFile::OpenRegular(folder / "logs.log", false, kind, error);
  ASSERT_TRUE(read);
  char buffer[16];
  size_t count = sizeof buffer;
  ASSERT_TRUE(read->Read(buffer, count, error));
  EXPECT_EQ(std::string(buffer, count), "one\ntwo\n");
  read.reset();
  ASSERT_TRUE(::CreateHardLinkW(SystemPath(folder / "other name")->c_str(),
                                SystemPath(folder / "logs.log")->c_str(), nullptr));
  EXPECT_FALSE(DataFile::OpenLog(folder / "logs.log", kind, error));
  EXPECT_EQ(kind, EntryKind::other);
}

// Through bcrypt.dll, loaded from System32 at the first use.
TEST(Files, Sha256OfTheWholeFile) {
  const Folder folder("sha");
  std::unique_ptr<DataFile> file = MakeFile(folder / "data", "abc");
  ASSERT_TRUE(file);
  std::error_code error;
  EXPECT_EQ(Sha256OfFile(*file, error),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Files, FolderIsNoRegularFile) {
  const Folder folder("kinds");
  std::error_code error;
  EntryKind kind;
  EXPECT_EQ(ExamineEntry(folder.Path(), error), EntryKind::other);
  EXPECT_FALSE(DataFile::OpenRegular(folder.Path(), false, kind, error));
  EXPECT_EQ(kind, EntryKind::other);
  EXPECT_FALSE(IdentityAt(folder.Path(), error));
}

// ---- Files held by others ----

TEST(Busy, FileHeldWithoutDeleteSharingIsBusyUntilLetGo) {
  const Folder folder("held");
  MakeFile(folder / "Quorlin.exe", "staged").reset();
  MakeFile(folder / "new", "new").reset();
  const HANDLE held = HoldWithoutDeleteSharing(folder / "Quorlin.exe");
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::error_code error;
  EXPECT_FALSE(RemoveEntryItself(folder / "Quorlin.exe", error));
  EXPECT_TRUE(IsBusyError(error)) << error.value() << " " << error.message();
  EXPECT_FALSE(RenameEntry(folder / "new", folder / "Quorlin.exe", error));
  EXPECT_TRUE(IsBusyError(error)) << error.value() << " " << error.message();
  // Still seen as what it is while held.
  EXPECT_EQ(ExamineEntry(folder / "Quorlin.exe", error), EntryKind::regularFile);
  EXPECT_TRUE(PathExists(folder / "Quorlin.exe", error));
  EXPECT_FALSE(error);
  ::CloseHandle(held);
  EXPECT_TRUE(RenameEntry(folder / "new", folder / "Quorlin.exe", error)) << error.message();
}

TEST(Busy, ReadOnlyFileIsBusyUntilClearedReadOnly) {
  const Folder folder("readonly");
  MakeFile(folder / "Quorlin.exe", "staged").reset();
  ASSERT_TRUE(
      ::SetFileAttributesW(SystemPath(folder / "Quorlin.exe")->c_str(), FILE_ATTRIBUTE_READONLY));
  std::error_code error;
  EXPECT_FALSE(RemoveEntryItself(folder / "Quorlin.exe", error));
  EXPECT_TRUE(IsBusyError(error)) << error.value() << " " << error.message();
  ClearReadOnly(folder / "Quorlin.exe");
  EXPECT_TRUE(RemoveEntryItself(folder / "Quorlin.exe", error)) << error.message();
}

TEST(Busy, LockIsHeldByTheFirstTaker) {
  const Folder folder("lock");
  FileLock::Outcome outcome;
  EntryKind kind;
  std::error_code error;
  std::unique_ptr<FileLock> first = FileLock::TryTake(folder / "update.lock", outcome, kind, error);
  ASSERT_TRUE(first) << error.message();
  EXPECT_EQ(outcome, FileLock::Outcome::taken);
  EXPECT_FALSE(FileLock::TryTake(folder / "update.lock", outcome, kind, error));
  EXPECT_EQ(outcome, FileLock::Outcome::heldByAnother);
  first.reset();
  EXPECT_TRUE(FileLock::TryTake(folder / "update.lock", outcome, kind, error));
}

// ---- The probe's capture ----

TEST(Capture, MissingFileAndNonProgramAreNotPrograms) {
  const Folder folder("capture");
  std::string output;
  EXPECT_EQ(CaptureOutput(folder / "missing.exe", "--version", 50, 5s, output),
            CaptureResult::notAProgram);
  MakeFile(folder / "text.exe", "just text, no program").reset();
  EXPECT_EQ(CaptureOutput(folder / "text.exe", "--version", 50, 5s, output),
            CaptureResult::notAProgram);
  EXPECT_EQ(output, "");
}

TEST(Capture, AnswerUpToTheFirstNulAndKeptLength) {
  std::string output;
  ASSERT_EQ(CaptureOutput(SelfPath(), "--answer", 16, 10s, output), CaptureResult::captured);
  EXPECT_EQ(output, "Quorlin ver 1.2.");
}

TEST(Capture, ChildThatOutlivesTheLimitIsStopped) {
  std::string output;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(CaptureOutput(SelfPath(), "--hang", 50, 1500ms, output), CaptureResult::timedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  EXPECT_EQ(output, "Quorlin ver 1.2.3\n");
}

// The child ends at once; the process it left holding the pipe does not keep the probe waiting.
TEST(Capture, EndedChildIsJudgedByWhatItWrote) {
  std::string output;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(CaptureOutput(SelfPath(), "--handoff", 50, 8s, output), CaptureResult::captured);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
  EXPECT_EQ(output, "Quorlin ver 1.2.3\n");
}

// ---- Processes and the single-instance mutex ----

// Wine gives every process the full token of an administrator who also has a limited one;
// limited_start.exe starts a program with that limited one.
TEST(Process, ElevatedWithTheFullTokenOnly) {
  HANDLE token = nullptr;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  ASSERT_TRUE(::GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size));
  TOKEN_LINKED_TOKEN linked = {};
  const bool hasLinked =
      ::GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size);
  ::CloseHandle(token);
  EXPECT_EQ(IsProcessElevated(), type == TokenElevationTypeFull);
  if (!hasLinked || type != TokenElevationTypeFull)
    GTEST_SKIP() << "no full token with a limited one beside it";
  // A child started with the limited token, as the user's shell starts programs, is not elevated.
  std::wstring line = L"\"" + *Widen(SelfPath()) + L"\" --print-elevation";
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION started = {};
  ASSERT_TRUE(::CreateProcessAsUserW(linked.LinkedToken, nullptr, line.data(), nullptr, nullptr,
                                     TRUE, 0, nullptr, nullptr, &startup, &started));
  ::CloseHandle(writeEnd);
  char buffer[64];
  DWORD count = 0;
  std::string output;
  while (::ReadFile(readEnd, buffer, sizeof buffer, &count, nullptr) && count > 0)
    output.append(buffer, count);
  ::WaitForSingleObject(started.hProcess, INFINITE);
  ::CloseHandle(started.hProcess);
  ::CloseHandle(started.hThread);
  ::CloseHandle(readEnd);
  ::CloseHandle(linked.LinkedToken);
  EXPECT_EQ(output, "not elevated");
}

TEST(Instance, SecondCheckerSeesTheFirst) {
  const SingleInstanceChecker first(".___os_layer_test_instance__.lock", "");
  EXPECT_FALSE(first.IsAnotherRunning());
  const SingleInstanceChecker second(".___os_layer_test_instance__.lock", "");
  EXPECT_TRUE(second.IsAnotherRunning());
  EXPECT_EQ(second.Problem(), "");
}

// A mutex whose security grants this user nothing, as an elevated runner's does a normal one.
TEST(Instance, MutexThatCannotBeOpenedIsAnotherRunner) {
  SECURITY_DESCRIPTOR descriptor;
  ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  ACL empty;
  ::InitializeAcl(&empty, sizeof empty, ACL_REVISION);
  ::SetSecurityDescriptorDacl(&descriptor, TRUE, &empty, FALSE);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
  const HANDLE denied = ::CreateMutexW(&attributes, FALSE, L".___os_layer_test_denied__.lock");
  ASSERT_NE(denied, nullptr);
  const HANDLE again = ::CreateMutexW(nullptr, FALSE, L".___os_layer_test_denied__.lock");
  if (again != nullptr) {
    ::CloseHandle(again);
    ::CloseHandle(denied);
    GTEST_SKIP()
        << "this system grants the creator's process access whatever the mutex's security says";
  }
  const SingleInstanceChecker checker(".___os_layer_test_denied__.lock", "");
  EXPECT_TRUE(checker.IsAnotherRunning());
  EXPECT_EQ(checker.Problem(), "");
  ::CloseHandle(denied);
}

TEST(Instance, NameOfAnotherKindIsAProblem) {
  const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, L".___os_layer_test_event__.lock");
  ASSERT_NE(event, nullptr);
  const SingleInstanceChecker checker(".___os_layer_test_event__.lock", "");
  EXPECT_FALSE(checker.IsAnotherRunning());
  EXPECT_EQ(checker.Problem().rfind(
                "single-instance lock not taken: 'CreateMutex' failed with error 0x00000006 (", 0),
            0u)
      << checker.Problem();
  ::CloseHandle(event);
}

// The probe's children: this program started again with one switch.
int PlayChild(const std::string& role) {
  // Line ends as written, without the C runtime's text mode.
  ::_setmode(::_fileno(stdout), _O_BINARY);
  if (role == "--print-value") {
    const wchar_t* value = ::_wgetenv(L"QR_OS_LAYER_VALUE");
    const std::string text =
        value == nullptr ? "(unset)" : Narrow(std::wstring(value)).value_or("(bad)");
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  }
  if (role == "--print-elevation") {
    std::printf("%s", IsProcessElevated() ? "elevated" : "not elevated");
    return 0;
  }
  if (role == "--hold") {
    std::this_thread::sleep_for(std::chrono::hours(1));
    return 0;
  }
  if (role == "--answer") {
    std::fwrite("Quorlin ver 1.2.3\n\0tail", 1, 23, stdout);
    return 0;
  }
  std::fputs("Quorlin ver 1.2.3\n", stdout);
  std::fflush(stdout);
  if (role == "--hang") std::this_thread::sleep_for(std::chrono::hours(1));
  if (role == "--handoff") {
    // Inherits this process's output and keeps it open long after this process has ended.
    std::wstring line = L"\"" + *Widen(SelfPath()) + L"\" --hold";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                         &startup, &started)) {
      ::CloseHandle(started.hThread);
      ::CloseHandle(started.hProcess);
    }
  }
  return 0;
}

}  // namespace
}  // namespace runner::os

int main(int argc, char** argv) {
  if (argc == 2 && std::strncmp(argv[1], "--gtest", 7) != 0) return runner::os::PlayChild(argv[1]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
