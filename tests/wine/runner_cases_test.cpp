// End-to-end cases of QuorlinRunner.exe under Wine, in groups that CTest runs one at a time as
// windows.runner.<group> (tests/windows/CMakeLists.txt): Instances, DataFolder, Probes, Updates
// (runner_update_cases_test.cpp) and Focus, and Decoy last, which reads the journals of all of
// them. Every case's fixture prepares the installation they share (InstallationCase).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "tests/support/file_io.h"
#include "tests/support/runner_log_lines.h"
#include "tests/support/text_pattern.h"
#include "tests/wine/runner_installation.h"
#include "tests/wine/wine_run.h"

namespace wine_runner {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

// The journal's lines that start with `prefix`.
std::vector<std::string> JournalLines(const Installation& box, const std::string& prefix) {
  std::vector<std::string> lines;
  for (const std::string& line : box.Journal())
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  return lines;
}

std::string WithoutCarriageReturns(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// The wineserver keeps the display it started with: ended, the next Wine program starts another.
void EndWineServer() {
  const std::string wineserver = FromEnvironment("QR_WINESERVER");
  hl_test::run_program({wineserver, "-k"});
  hl_test::run_program({wineserver, "-w"});
}

class Instances : public InstallationCase {};
class DataFolder : public InstallationCase {};
class Probes : public InstallationCase {};
class Focus : public InstallationCase {};
class Decoy : public InstallationCase {};

// A second runner ends at once while the first one's application runs; a third, started after the
// first ended, runs the application.
TEST_F(Instances, SecondRunnerLeavesAtOnceAndThirdRunsAfterTheFirst) {
  const Installation& box = Shared();
  box.Reset("1.0.0");
  const fs::path release = box.Root() / "release-a";
  fs::remove(release);
  hl_test::StartedChild first =
      box.Start({"QR_STANDIN_RUN_1_0_0=wait|" + hl_test::wine_path(release)});
  // The stand-in's window line comes last; it journals "window none" without a display.
  if (!hl_test::eventually([&] { return !JournalLines(box, "window ").empty(); })) {
    hl_test::write_text(release, "");
    FAIL() << "the first runner never started the application: " << first.wait().err;
  }
  const std::vector<std::string> journalBefore = box.Journal();
  const std::string logBefore = box.LogText();
  const auto started = std::chrono::steady_clock::now();
  const Captured second = box.Run();
  const long long elapsed = MillisecondsSince(started);
  const bool firstStillWaits = first.running();
  hl_test::write_text(release, "");
  EXPECT_EQ(first.wait().exitCode, 0);

  EXPECT_EQ(second.exitCode, 0);
  EXPECT_TRUE(firstStillWaits) << "the first runner ended before the second one did";
  EXPECT_EQ(box.Journal(), journalBefore) << "the second runner started something";
  EXPECT_EQ(box.LogText(), logBefore) << "the second runner wrote to the log";
  EXPECT_LE(elapsed, 15000) << "the second runner took " << elapsed << " ms";
  EXPECT_EQ(second.out, "");

  const std::string exe = hl_test::exe_path_line(box.InstalledExeWin());
  EXPECT_TRUE(box.Ran(box.Run(), {"run 1.0.0", "run 1.0.0"}, {exe, exe}));
}

// The lock's name taken by an object of another kind: the runner reports it and goes on without
// exclusion.
TEST_F(Instances, LockNameHeldByAnEventLeavesTheRunnerWithoutExclusion) {
  const Installation& box = Shared();
  box.Reset("1.0.0");
  const fs::path release = box.Root() / "release-squatter";
  fs::remove(release);
  hl_test::StartedChild squatter =
      StartUnderWine({FromEnvironment("QR_LOCK_SQUATTER"), hl_test::wine_path(release)});
  const auto holds = [&] { return squatter.out_so_far().find("held") != std::string::npos; };
  hl_test::eventually([&] { return holds() || !squatter.running(); });
  if (!holds()) {
    hl_test::write_text(release, "");
    const Captured failed = squatter.wait();
    FAIL() << "the squatter did not take the name: " << failed.out << failed.err;
  }
  const Captured run = box.Run();
  hl_test::write_text(release, "");
  EXPECT_EQ(squatter.wait().exitCode, 0);

  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(box.Events(), std::vector<std::string>{"run 1.0.0"});
  // The failure reaches the log too: a GUI program's standard error goes nowhere.
  EXPECT_THAT(box.LogMessages(),
              ::testing::Contains(hl_test::exe_path_line(box.InstalledExeWin())));
  EXPECT_THAT(
      box.LogText(),
      HasSubstr("single-instance lock not taken: 'CreateMutex' failed with error 0x00000006 ("));
  const std::string err = WithoutCarriageReturns(run.err);
  EXPECT_THAT(err, HasSubstr("'CreateMutex' failed with error 0x00000006 ("));
  EXPECT_THAT(err, HasSubstr("can't be called if mutex creation failed"));
}

// An elevated runner's mutex: a runner of the same user that is not elevated may not open it, and
// counts that as another runner, leaving at once.
TEST_F(Instances, ElevatedRunnerHoldsTheLockAgainstANormalOne) {
  const Installation& box = Shared();
  box.Reset("1.0.0");
  const fs::path release = box.Root() / "release-elevated";
  fs::remove(release);
  hl_test::StartedChild first =
      box.StartElevated({"QR_STANDIN_RUN_1_0_0=wait|" + hl_test::wine_path(release)});
  if (!hl_test::eventually([&] { return !JournalLines(box, "window ").empty(); })) {
    hl_test::write_text(release, "");
    FAIL() << "the elevated runner never started the application: " << first.wait().err;
  }
  const std::vector<std::string> journalBefore = box.Journal();
  const auto started = std::chrono::steady_clock::now();
  const Captured second = box.Run();
  const long long elapsed = MillisecondsSince(started);
  hl_test::write_text(release, "");
  EXPECT_EQ(first.wait().exitCode, 0);
  EXPECT_EQ(second.exitCode, 0) << second.err;
  EXPECT_EQ(box.Journal(), journalBefore) << "the second runner started something";
  EXPECT_THAT(WithoutCarriageReturns(second.err), Not(HasSubstr("'CreateMutex' failed")));
  EXPECT_LE(elapsed, 15000);
}

// An elevated runner starts the installed executable only and installs nothing: the data folder
// is every process's of the user, and an elevated start must not run what one of them put there.
TEST_F(Instances, ElevatedStartRunsOnlyTheInstalledExecutable) {
  const Installation& box = Shared();
  box.Reset("1.0.0");
  box.Stage("2.0.0");
  hl_test::write_text(box.DataFolder() / "Patch", "a patch");
  hl_test::write_text(box.DataFolder() / "update.json", "{\"force\": true}\n");
  const Captured run = box.StartElevated().wait();
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(box.Events(), std::vector<std::string>{"run 1.0.0"});
  EXPECT_THAT(box.LogMessages(),
              ::testing::Contains(hl_test::exe_path_line(box.InstalledExeWin())));
  EXPECT_TRUE(fs::exists(box.StagedExe()));
  EXPECT_EQ(hl_test::read_text(box.DataFolder() / "Patch"), "a patch");
  EXPECT_TRUE(fs::exists(box.DataFolder() / "update.json"));
}

TEST_F(DataFolder, LogInTheRoamingFolderTessdataArgumentsAndWorkingFolder) {
  const Installation& box = Shared();
  box.Reset("1.0.0");
  const std::string exe = hl_test::exe_path_line(box.InstalledExeWin());
  ASSERT_TRUE(box.Ran(box.Run(), {"run 1.0.0"}, {exe}));

  std::vector<fs::path> logs;
  for (const fs::path& top : {fs::path(FromEnvironment("WINEPREFIX")), box.Root()})
    for (const fs::directory_entry& entry :
         fs::recursive_directory_iterator(top, fs::directory_options::skip_permission_denied))
      if (entry.path().filename() == "logs.log") logs.push_back(entry.path());
  EXPECT_EQ(logs, std::vector<fs::path>{box.DataFolder() / "logs.log"});

  // easylogging++ writes the file in text mode on Windows: every line ends in CR LF.
  static const hl_test::TextPattern stamped(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO \[default\] exe path: .*\r$)");
  const std::string log = box.LogText();
  ASSERT_THAT(log, EndsWith("\r\n"));
  for (const std::string& line : hl_test::lines_of(log))
    EXPECT_TRUE(stamped.matches(line)) << ::testing::PrintToString(line);

  EXPECT_EQ(JournalLines(box, "run "),
            std::vector<std::string>{
                "run 1.0.0 args=--runner tessdata=" + hl_test::wine_path(box.InstallFolder()) +
                "\\tessdata cwd=" + hl_test::wine_path(box.WorkFolder())});

  // The next run appends its line.
  EXPECT_TRUE(box.Ran(box.Run(), {"run 1.0.0", "run 1.0.0"}, {exe, exe}));
}

// The version probe over the pipe: the staged executable is kept or removed, and the one that
// runs is named in the log, after the reason of a removal.
struct ProbeCase {
  const char* name;
  std::string installed, staged;
  bool kept;
  std::vector<std::string> environment;
  std::string removal = {};  // the reason logged when the staged executable is removed
};

void PrintTo(const ProbeCase& probe, std::ostream* out) { *out << probe.name; }

class ProbesByVersion : public InstallationCaseWithParam<ProbeCase> {};

void RunProbe(const ProbeCase& probe) {
  const Installation& box = Shared();
  box.Reset(probe.installed);
  box.Stage(probe.staged);
  const Captured run = box.Run(probe.environment);
  const std::string started = probe.kept ? probe.staged : probe.installed;
  std::vector<std::string> log;
  if (!probe.removal.empty()) log.push_back(hl_test::staged_removed_line(probe.removal));
  log.push_back(hl_test::exe_path_line(probe.kept ? box.StagedExeWin() : box.InstalledExeWin()));
  ASSERT_TRUE(
      box.Ran(run, {"probe " + probe.installed, "probe " + probe.staged, "run " + started}, log));
  EXPECT_EQ(fs::exists(box.StagedExe()), probe.kept);
}

TEST_P(ProbesByVersion, KeepsOrRemovesTheStagedExecutable) { RunProbe(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Staged, ProbesByVersion,
    ::testing::Values(
        ProbeCase{"StagedNewer", "1.2.3", "1.2.4", true, {}},
        ProbeCase{"StagedOlder",
                  "1.2.4",
                  "1.2.3",
                  false,
                  {},
                  "the installed version 1.2.4 is newer than 1.2.3"},
        ProbeCase{"Equal", "1.2.3", "1.2.3", true, {}},
        ProbeCase{"FirstDifferenceDecides", "1.9.0", "2.0.0", true, {}},
        ProbeCase{"StagedAnswersNothing",
                  "1.0.0",
                  "1.0.1",
                  false,
                  {"QR_STANDIN_PROBE_1_0_1=none"},
                  "it gave no version"},
        ProbeCase{
            "StagedAnswersOnStderr", "1.0.0", "1.0.1", true, {"QR_STANDIN_PROBE_1_0_1=stderr"}},
        ProbeCase{"StagedAnswerTooLong",
                  "1.0.0",
                  "1.0.1",
                  false,
                  {"QR_STANDIN_PROBE_1_0_1=long"},
                  "it gave no version"},
        // Stopped once it has written more than an answer can hold.
        ProbeCase{"StagedWritesWithoutEnd",
                  "1.0.0",
                  "1.0.1",
                  false,
                  {"QR_STANDIN_PROBE_1_0_1=flood"},
                  "it gave no version"},
        // The stand-in's text-mode output ends its line in CR LF: the CR is part of the text, and
        // logged escaped.
        ProbeCase{"StagedVersionNotANumber",
                  "1.0.0",
                  "one.two",
                  false,
                  {},
                  "its version \"one.two\\x0D\" is no version"},
        // A staged executable never probed before has a minute for its first answer.
        ProbeCase{"FreshStagedAnswersLate",
                  "1.0.0",
                  "1.0.1",
                  true,
                  {"QR_STANDIN_PROBE_1_0_1=late:6000"}}),
    [](const ::testing::TestParamInfo<ProbeCase>& info) { return std::string(info.param.name); });

// The probe is given its output pipe and no other handle of the runner's: above all not the log
// file, which the C runtime opens inheritable.
TEST_F(Probes, ChildInheritsOnlyItsOutput) {
  ASSERT_NO_FATAL_FAILURE(
      RunProbe({"", "1.0.0", "1.0.1", true, {"QR_STANDIN_PROBE_1_0_1=surroundings"}}));
  const std::vector<std::string> surroundings = JournalLines(Shared(), "surroundings ");
  ASSERT_EQ(surroundings.size(), 1u);
  EXPECT_THAT(surroundings[0], EndsWith(" files=none"));
}

// The staged 1.0.1, which answered at an earlier start (its pair is in update.probe), has not
// ended at the probe's time limit (5 s, counted from its start): the runner stops it and starts
// the installed one, and keeps the staged copy, about which nothing is known; a slow start is no
// verdict on the file.
class ProbesAtTheTimeLimit : public InstallationCaseWithParam<std::string> {};

TEST_P(ProbesAtTheTimeLimit, GiveUpAndRunTheInstalledExecutable) {
  const Installation& box = Shared();
  box.Reset("1.0.0");
  box.Stage("1.0.1");
  const std::string staged = hl_test::exe_path_line(box.StagedExeWin());
  ASSERT_TRUE(box.Ran(box.Run(), {"probe 1.0.0", "probe 1.0.1", "run 1.0.1"}, {staged}));
  const auto started = std::chrono::steady_clock::now();
  const Captured run = box.Run({"QR_STANDIN_PROBE_1_0_1=" + GetParam()});
  const long long elapsed = MillisecondsSince(started);
  EXPECT_TRUE(box.Ran(
      run, {"probe 1.0.0", "probe 1.0.1", "run 1.0.1", "probe 1.0.0", "probe 1.0.1", "run 1.0.0"},
      {staged, hl_test::staged_kept_line("its version probe timed out (1 of 3)"),
       hl_test::exe_path_line(box.InstalledExeWin())}));
  EXPECT_TRUE(fs::exists(box.StagedExe()));
  EXPECT_GE(elapsed, 4500);
  // Far below the minute that a first answer has.
  EXPECT_LE(elapsed, 30000);
}

INSTANTIATE_TEST_SUITE_P(Answers, ProbesAtTheTimeLimit,
                         ::testing::Values("hang",        // answers, then never ends
                                           "late:6000"),  // answers only after 6 s
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           name.erase(std::remove(name.begin(), name.end(), ':'), name.end());
                           return name;
                         });

// An answer after 2 s is in time: the clock starts once the probe runs.
TEST_F(Probes, LateAnswerWithinTheLimitCounts) {
  ASSERT_NO_FATAL_FAILURE(
      RunProbe({"", "1.0.0", "1.0.1", true, {"QR_STANDIN_PROBE_1_0_1=late:2000"}}));
}

// The probe answers and ends, leaving a child that holds its output: it is judged by its answer
// at once, and the child it left is stopped with it.
TEST_F(Probes, EndedProbeIsJudgedByItsAnswerAndItsChildStopped) {
  const Installation& box = Shared();
  const auto started = std::chrono::steady_clock::now();
  ASSERT_NO_FATAL_FAILURE(
      RunProbe({"", "1.0.0", "1.0.1", true, {"QR_STANDIN_PROBE_1_0_1=handoff"}}));
  static const hl_test::TextPattern handoff("handoff [0-9].*");
  const std::vector<std::string> lines = JournalLines(box, "handoff ");
  ASSERT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return handoff.matches(line);
  })) << "the probe handed off to no child";
  // The handed-off child journals again 8 s after its start, unless it was stopped with the probe.
  std::this_thread::sleep_until(started + std::chrono::seconds(11));
  EXPECT_THAT(box.Journal(), ::testing::Not(::testing::Contains("handoff survived")))
      << "the probe's child outlived the probe";
}

// A staged copy that loses the version check is removed even while it is read-only, or while a
// scanner holds it open without sharing its removal for a moment; it is never set aside.
class ProbesRemoveABusyLoser : public InstallationCaseWithParam<std::string> {};

TEST_P(ProbesRemoveABusyLoser, RemovedOnceLetGo) {
  const Installation& box = Shared();
  box.Reset("1.2.4");
  box.Stage("1.2.3");
  std::unique_ptr<hl_test::StartedChild> holder;
  if (GetParam() == "ReadOnly") {
    // Wine shows a file without write permission as read-only.
    fs::permissions(box.StagedExe(),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  } else {
    hl_test::ChildOptions options;
    options.timeLimitSeconds = 120;
    holder = std::make_unique<hl_test::StartedChild>(
        hl_test::wine_command(
            {FromEnvironment("QR_FILE_HOLDER"), hl_test::wine_path(box.StagedExe()), "2500"}),
        options);
    ASSERT_TRUE(hl_test::eventually([&] {
      return holder->out_so_far().find("held") != std::string::npos;
    })) << "the holder did not open the file";
  }
  const Captured run = box.Run();
  if (holder) {
    EXPECT_EQ(holder->wait().exitCode, 0);
  }
  ASSERT_TRUE(
      box.Ran(run, {"probe 1.2.4", "probe 1.2.3", "run 1.2.4"},
              {hl_test::staged_removed_line("the installed version 1.2.4 is newer than 1.2.3"),
               hl_test::exe_path_line(box.InstalledExeWin())}));
  EXPECT_FALSE(fs::exists(fs::symlink_status(box.StagedExe())));
  for (const fs::directory_entry& entry : fs::directory_iterator(box.DataFolder()))
    EXPECT_EQ(entry.path().filename().string().find(".aside-"), std::string::npos) << entry.path();
}

INSTANTIATE_TEST_SUITE_P(Staged, ProbesRemoveABusyLoser, ::testing::Values("ReadOnly", "HeldOpen"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

// The runner finds the window "Quorlin" after the application's first idle and passes it to
// SetFocus. Needs a display: with_xvfb.sh gives one in QR_FOCUS_DISPLAY.
TEST_F(Focus, RunnerFocusesTheApplicationWindow) {
  const char* display = std::getenv("QR_FOCUS_DISPLAY");
  if (display == nullptr) GTEST_SKIP() << "no display in QR_FOCUS_DISPLAY";
  const Installation& box = Shared();
  EndWineServer();
  box.Reset("1.0.0", FromEnvironment("QR_STANDIN_GUI_EXE"));
  // The window trace shows the handle that the runner passes to SetFocus.
  const Captured run = box.Run(
      {std::string("DISPLAY=") + display, "WINEDEBUG=-all,+win", "QR_STANDIN_FOCUS_WAIT=10000"});
  EndWineServer();
  ASSERT_TRUE(box.Ran(run, {"run 1.0.0"}, {hl_test::exe_path_line(box.InstalledExeWin())}));
  const std::vector<std::string> window = JournalLines(box, "window ");
  ASSERT_EQ(window.size(), 1u);
  std::vector<std::string> handle;
  ASSERT_TRUE(hl_test::TextPattern("handle=(0x[0-9a-f]+)").found_in(window[0], &handle))
      << "the stand-in made no window: " << window[0];
  EXPECT_THAT(run.err, HasSubstr("NtUserSetFocus " + handle[1] + " "))
      << "no SetFocus of that window";
  EXPECT_THAT(window[0], HasSubstr("focus=yes")) << "the window did not get the focus";
}

// The decoy in the folder above the installation, where an unquoted command line would lead,
// never ran in any group.
TEST_F(Decoy, NeverRan) {
  const Installation& box = Shared();
  box.CollectJournal();
  const std::vector<std::string> all =
      hl_test::lines_of(hl_test::read_text_if_present(box.AllJournals()));
  const long starts = std::count_if(all.begin(), all.end(), [](const std::string& line) {
    return line.rfind("run ", 0) == 0 || line.rfind("probe ", 0) == 0;
  });
  EXPECT_GT(starts, 0) << "no journal of the groups before";
  EXPECT_THAT(all, ::testing::Each(::testing::Not(HasSubstr("decoy"))));

  // The decoy itself works: started with the arguments the unquoted line would give it, it
  // leaves its mark.
  hl_test::ChildOptions inRoot;
  inRoot.workingDirectory = box.Root().string();
  hl_test::run_under_wine(
      {(box.Root() / "Quorlin.exe").string(), "Install\\app\\Quorlin.exe", "--runner"}, inRoot);
  EXPECT_EQ(box.Journal(),
            std::vector<std::string>{"usage decoy args=Install\\app\\Quorlin.exe --runner"});
}

}  // namespace
}  // namespace wine_runner
