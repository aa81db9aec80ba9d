// End-to-end version check: which executable the runner starts for each pair of versions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

#include "tests/runner/sandbox.h"
#include "tests/support/file_io.h"
#include "tests/support/runner_log_lines.h"

namespace runner_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

struct VersionCase {
  std::string installed;
  std::string staged;
  bool kept;
};

void PrintTo(const VersionCase& c, std::ostream* os) {
  *os << "installed " << c.installed << ", staged " << c.staged
      << (c.kept ? ": kept" : ": removed");
}

class StagedVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(StagedVersion, IsKeptOrRemoved) {
  const VersionCase& c = GetParam();
  Sandbox box;
  // Both copies carry distinct embedded versions; what they report comes from the probe answer.
  box.InstallApp("installed");
  box.StageApp("staged");
  box.OnProbe("installed", "raw:Quorlin ver " + c.installed + "\n");
  box.OnProbe("staged", "raw:Quorlin ver " + c.staged + "\n");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(fs::exists(box.StagedExe()), c.kept);
  const fs::path started = c.kept ? box.StagedExe() : box.InstalledExe();
  EXPECT_THAT(box.Journal(), ElementsAre("probe installed", "probe staged",
                                         HasSubstr(c.kept ? "run staged" : "run installed")));
  if (c.kept)
    EXPECT_THAT(box.LogMessages(), ElementsAre(hl_test::exe_path_line(started)));
  else
    EXPECT_THAT(box.LogMessages(),
                ElementsAre(HasSubstr("INFO [default] staged Quorlin.exe removed: "),
                            hl_test::exe_path_line(started)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StagedVersion,
    ::testing::Values(VersionCase{"1.2.3", "1.2.4", true}, VersionCase{"1.2.4", "1.2.3", false},
                      VersionCase{"1.2.3", "1.2.3", true},
                      // A raised leading part wins over any later part.
                      VersionCase{"1.9.0", "2.0.0", true}, VersionCase{"2.0.0", "1.9.9", false},
                      VersionCase{"1.9.9", "1.10.0", true}, VersionCase{"1.2", "1.2.5", true},
                      VersionCase{"1.2.5", "1.2", true}, VersionCase{"1.02", "1.2", true},
                      VersionCase{"1.4", "1.3-beta", false}, VersionCase{"1.3", "1.3-beta", true},
                      VersionCase{"-1.0", "0.0", true},
                      VersionCase{"2147483647", "2147483647", true},
                      // The staged text holds no version: it goes.
                      VersionCase{"1.0", "1..2", false}, VersionCase{"1.0", "1.2.", false},
                      VersionCase{"1.0", "x.2", false}, VersionCase{"1.0", "2147483648", false},
                      // The installed text holds no version: the staged one stays.
                      VersionCase{"1..2", "1.0", true}, VersionCase{"abc", "1.0", true},
                      VersionCase{"99999999999", "1.0", true}));

// Control characters of an answer never reach the log as they are: no line is broken or forged.
TEST(StagedVersionLine, ShowsControlCharactersEscaped) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.StageApp("staged");
  box.OnProbe("staged", "raw:Quorlin ver 1.x\r\x1b[2J\n");
  box.Run();
  EXPECT_EQ(
      box.LogMessages().at(0),
      "INFO [default] staged Quorlin.exe removed: its version \"1.x\\x0D\\x1B[2J\" is no version");
}

// Probe answers by shape; the installed executable answers "Quorlin ver 1.0.0\n".
struct ProbeCase {
  std::string answer;  // what the staged executable prints
  bool kept;
};

void PrintTo(const ProbeCase& c, std::ostream* os) {
  *os << ::testing::PrintToString(c.answer) << (c.kept ? ": kept" : ": removed");
}

class StagedProbe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(StagedProbe, DecidesByTheShapeOfTheOutput) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.StageApp("staged");
  box.OnProbe("staged", GetParam().answer);
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(fs::exists(box.StagedExe()), GetParam().kept);
  ASSERT_EQ(box.Runs().size(), 1u);
  EXPECT_EQ(box.Runs()[0], GetParam().kept ? "run staged" : "run 1.0.0");
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, StagedProbe,
    ::testing::Values(
        ProbeCase{"stdout", false},                  // "Quorlin ver staged": no number
        ProbeCase{"raw:Quorlin ver 2.0.0\n", true},  // plain answer
        ProbeCase{"raw:123456789012", false},        // exactly 12 characters
        ProbeCase{"raw:123456789012\n3.0", false},   // first line feed at offset 12
        ProbeCase{"raw:12345\n789012", false},       // 12 characters, line feed early
        ProbeCase{"raw:1234\n6789012"
                  "2.0",
                  true},                               // line feed before 12: runs to the end
        ProbeCase{"raw:Quorlin ver 2.0.0", true},      // no line feed at all
        ProbeCase{"raw:Quorlin ver 2.0.0\r\n", true},  // the CR stays and stoi stops at it
        ProbeCase{"raw:Quorlin ver 2.0.0\nand more", true},
        ProbeCase{"raw:Quorlin ver 2." + std::string(34, '0') + "\n", true},   // 49 characters
        ProbeCase{"raw:Quorlin ver 2." + std::string(35, '0') + "\n", false},  // 50 characters
        ProbeCase{"long", false}, ProbeCase{"none", false},
        ProbeCase{"raw:2.0", false},            // 1 to 11 characters
        ProbeCase{"raw:Quorlin ver", false}));  // 11 characters

TEST(VersionCheck, StandardErrorAnswerIsReadToo) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.StageApp("1.0.1");
  box.OnProbe("1.0.1", "stderr");
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_TRUE(fs::exists(box.StagedExe()));
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.1"});
}

TEST(VersionCheck, UnstartableStagedExecutableIsRemovedAndTheInstalledOneRuns) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.WriteFile(box.StagedExe(), "half a binary");
  fs::permissions(box.StagedExe(), fs::perms::owner_all);
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_THAT(result.err, HasSubstr("CreateProcess failed\n"));
  EXPECT_FALSE(fs::exists(box.StagedExe()));
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
  EXPECT_THAT(box.LogMessages(),
              ElementsAre("INFO [default] staged Quorlin.exe removed: it is not a program",
                          hl_test::exe_path_line(box.InstalledExe())));
}

TEST(VersionCheck, StagedExecutableWithoutExecutePermissionIsRemoved) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.StageApp("1.0.1");
  box.WithoutFileAccessOverride();
  fs::permissions(box.StagedExe(), fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace);
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, "CreateProcess failed\n");
  EXPECT_FALSE(fs::exists(box.StagedExe()));
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
}

// A probe that does not answer in time gives no verdict: the staged executable stays, the
// installed one runs this time, and only three such starts in a row remove it. A freshly
// written executable has a minute for its first answer; one probed before has 5 s.
struct SlowCase {
  std::string answer;
  int timeoutsBefore;  // -1: never probed before
  std::vector<std::string> runs;
  bool kept;
  std::string logged;          // the version check's line, if any
  std::string slow = "1.0.1";  // whose probe answers so
};

void PrintTo(const SlowCase& c, std::ostream* os) {
  *os << c.answer << " after " << c.timeoutsBefore;
}

class SlowProbe : public ::testing::TestWithParam<SlowCase> {};

TEST_P(SlowProbe, IsNoVerdictUntilItHasTimedOutThreeTimes) {
  const SlowCase& c = GetParam();
  Sandbox box;
  box.InstallApp("1.0.0");
  box.StageApp("1.0.1");
  box.OnProbe(c.slow, c.answer);
  if (c.timeoutsBefore >= 0) box.MarkProbed(c.timeoutsBefore);
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(fs::exists(box.StagedExe()), c.kept);
  EXPECT_EQ(box.Runs(), c.runs);
  const std::vector<std::string> messages = box.LogMessages();
  if (c.logged.empty()) {
    EXPECT_EQ(messages.size(), 1u);
  } else {
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "INFO [default] staged Quorlin.exe " + c.logged);
  }
  // Nothing that held the probe's output is left running.
  for (const std::string& line : box.Journal()) {
    if (line.rfind("handoff ", 0) == 0) {
      EXPECT_TRUE(hl_test::eventually([&] {
        return !hl_test::process_running(std::stoi(line.substr(8)));
      })) << line;
    }
  }
}

const std::vector<std::string> kInstalledRuns{"run 1.0.0"};
const std::vector<std::string> kStagedRuns{"run 1.0.1"};
INSTANTIATE_TEST_SUITE_P(
    Answers, SlowProbe,
    ::testing::Values(
        SlowCase{"hang", 0, kInstalledRuns, true,
                 "kept for a later start: its version probe timed out (1 of 3)"},
        SlowCase{"hang", 2, kInstalledRuns, false,
                 "removed: its version probe timed out at 3 starts in a row"},
        // An answer, then an end, while a child it started holds the output open.
        SlowCase{"handoff", 0, kStagedRuns, true, ""},
        SlowCase{"late:6000", -1, kStagedRuns, true, ""},
        SlowCase{"late:6000", 0, kInstalledRuns, true,
                 "kept for a later start: its version probe timed out (1 of 3)"},
        // An installed copy that is always slow holds the update back only so long.
        SlowCase{"late:6000", 0, kInstalledRuns, true,
                 "kept for a later start: the installed Quorlin.exe: its version probe timed "
                 "out (1 of 3)",
                 "1.0.0"},
        SlowCase{"late:6000", 2, kStagedRuns, true,
                 "started: the installed Quorlin.exe: its version probe timed out at 3 starts in "
                 "a row",
                 "1.0.0"}));

TEST(VersionCheck, EndlessOutputIsReadInBoundedMemoryAndGivesNoVersion) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.StageApp("1.0.1");
  box.OnProbe("1.0.1", "flood");
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.signal, 0);
  EXPECT_LT(result.maxResidentKiB, 200 * 1024) << "the runner kept the output";
  EXPECT_FALSE(fs::exists(box.StagedExe()));
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
}

// The system refuses the probe a pipe or a process: nothing is known about the staged
// executable, so it stays for a later start, and the installed one runs this time.
struct RefusedProbe {
  std::string switchName;
  std::string value;
  std::string line;
};

void PrintTo(const RefusedProbe& c, std::ostream* os) { *os << c.switchName << "=" << c.value; }

class ProbeRefused : public ::testing::TestWithParam<RefusedProbe> {};

TEST_P(ProbeRefused, KeepsTheStagedExecutableAndStartsTheInstalledOne) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.StageApp("1.0.1");
  const std::string stagedBytes = hl_test::read_text(box.StagedExe());
  box.PreloadShim();
  box.SetEnv(GetParam().switchName, GetParam().value);
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, GetParam().line + GetParam().line);
  EXPECT_EQ(hl_test::read_text(box.StagedExe()), stagedBytes);
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
  EXPECT_THAT(box.LogMessages(),
              ElementsAre(HasSubstr("INFO [default] staged Quorlin.exe kept for a later start: "),
                          hl_test::exe_path_line(box.InstalledExe())));

  // With the resources back, the staged executable passes its check and runs.
  box.UnsetEnv(GetParam().switchName);
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs(), (std::vector<std::string>{"run 1.0.0", "run 1.0.1"}));
}

INSTANTIATE_TEST_SUITE_P(
    Resources, ProbeRefused,
    ::testing::Values(RefusedProbe{"QR_FAIL_PIPES", "1", "CreatePipe failed\n"},
                      RefusedProbe{"QR_FAIL_PROBE_STARTS", "1", "CreateProcess failed\n"},
                      RefusedProbe{"QR_FAIL_PROBE_STARTS", "E2BIG", "CreateProcess failed\n"}));

TEST(VersionCheck, MissingInstalledExecutableKeepsTheStagedOne) {
  Sandbox box;
  box.StageApp("1.0.1");
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_THAT(result.err, HasSubstr("CreateProcess failed\n"));
  EXPECT_TRUE(fs::exists(box.StagedExe()));
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.1"});
}

TEST(VersionCheck, StagedExecutableIsCheckedAgainAtEveryStart) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.StageApp("1.1.0");
  EXPECT_EQ(box.Run().exitCode, 0);
  box.InstallApp("1.2.0");  // a newer installation replaces the older staged update
  EXPECT_EQ(box.Run().exitCode, 0);
  EXPECT_EQ(box.Runs(), (std::vector<std::string>{"run 1.1.0", "run 1.2.0"}));
  EXPECT_FALSE(fs::exists(box.StagedExe()));
}

// A staged executable that cannot be examined, started or removed blocks no start: it is set
// aside and the installed executable runs.
TEST(VersionCheck, StagedLinkToItselfIsSetAsideAndTheInstalledOneStarts) {
  Sandbox box;
  box.InstallApp("1.0.0");
  fs::create_directories(box.DataFolder());
  fs::create_symlink("Quorlin.exe", box.StagedExe());
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
  EXPECT_THAT(
      box.LogMessages(),
      ElementsAre(
          "INFO [default] Quorlin.exe is not a regular file: set aside as Quorlin.exe.aside-1",
          hl_test::exe_path_line(box.InstalledExe())));
  EXPECT_EQ(fs::read_symlink(box.DataFolder() / "Quorlin.exe.aside-1"), "Quorlin.exe");
}

TEST(VersionCheck, StagedFolderIsSetAsideAndTheInstalledOneStarts) {
  Sandbox box;
  box.InstallApp("1.0.0");
  box.WriteFile(box.StagedExe() / "content", "x");
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
  EXPECT_EQ(box.LogMessages().front(),
            "INFO [default] Quorlin.exe is not a regular file: set aside as Quorlin.exe.aside-1");
  EXPECT_EQ(hl_test::read_text(box.DataFolder() / "Quorlin.exe.aside-1" / "content"), "x");
}

TEST(VersionCheck, DataFolderPathsTooLongToExamineBlockNoStart) {
  Sandbox box;
  box.InstallApp("1.0.0");
  // The roaming folder itself can be made, but no entry of the data folder can be named.
  fs::path roaming = box.Roaming();
  constexpr size_t kLength =
      4083;  // "/Quorlin" still fits in PATH_MAX, "/Quorlin/logs.log" does not
  while (roaming.string().size() < kLength)
    roaming /= std::string(std::min<size_t>(200, kLength - roaming.string().size() - 1), 'r');
  fs::create_directories(roaming);
  box.SetEnv("XDG_DATA_HOME", roaming.string());
  const RunResult result = box.Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(box.Runs(), std::vector<std::string>{"run 1.0.0"});
  EXPECT_THAT(result.err, HasSubstr("logs.log is not a regular file: no log file this run"));
}

}  // namespace
}  // namespace runner_test
