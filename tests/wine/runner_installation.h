// The installation of QuorlinRunner.exe that the groups of Wine cases share, in the folder QR_WORK:
// the runner and the stand-in as "Quorlin.exe" in "Quorlin Install/app", a path with a space; in
// the folder above it a decoy "Quorlin.exe" waits for a command line split at that space. The
// programs and the folder come from CTest's environment (tests/windows/CMakeLists.txt).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process_capture.h"

namespace wine_runner {

namespace fs = std::filesystem;
using hl_test::Captured;

// The value of an environment variable that CTest sets; throws when it is unset.
std::string FromEnvironment(const char* name);

class Installation {
 public:
  // Points the stand-in's journal of every program started from here at Journal() and takes the
  // display away: the cases measure the runner without one.
  Installation();

  const fs::path& Root() const { return m_root; }
  const fs::path& InstallFolder() const { return m_install; }
  const fs::path& WorkFolder() const { return m_cwd; }
  const std::string& User() const { return m_user; }
  // The Wine prefix's drive C:.
  fs::path DriveC() const { return m_prefix / "drive_c"; }
  // The runner's data folder: the roaming folder's "Quorlin", unless a case moved it.
  const fs::path& DataFolder() const { return m_data; }
  void MoveDataFolder(const fs::path& folder) { m_data = folder; }
  fs::path StagedExe() const { return m_data / "Quorlin.exe"; }

  // The executables as the runner names them in its log.
  std::string InstalledExeWin() const;
  std::string StagedExeWin() const;

  const fs::path& Standin() const { return m_standin; }
  // The stand-in reporting 2.0.0, made by SetUp.
  fs::path Version2() const { return m_root / "v2.exe"; }
  // {"force": true} or {"force": false}, made by SetUp.
  fs::path ForceManifest(bool force) const;

  // Makes the folders, the decoy, the stand-in's 2.0.0 and the manifests afresh.
  void SetUp() const;
  // SetUp, unless the files it makes are there: the groups of one CTest run share them, and the
  // journals that the decoy's check reads (windows.runner.setup empties QR_WORK first).
  void Prepare() const;
  // A fresh installation of `version` (from stand-in `source`, the console one by default), an
  // empty data folder and journal; the journal so far goes to AllJournals().
  void Reset(const std::string& version, const fs::path& source = {}) const;
  // A staged executable reporting `version`.
  void Stage(const std::string& version) const;
  // The journals of every case, for the decoy's check.
  fs::path AllJournals() const { return m_root / "all-journals"; }
  // Moves the journal so far to AllJournals().
  void CollectJournal() const;

  // Runs the installed runner from the working folder, with environment entries on top, as a
  // user who is not elevated (limited_start.exe: Wine starts every program elevated).
  Captured Run(const std::vector<std::string>& environment = {}) const;
  hl_test::StartedChild Start(const std::vector<std::string>& environment = {}) const;
  // The same with Wine's own start: the full token of an elevated administrator.
  hl_test::StartedChild StartElevated(const std::vector<std::string>& environment = {}) const;
  // Runs the runner of another installation folder as Run does.
  Captured RunFrom(const fs::path& installFolder,
                   const std::vector<std::string>& environment = {}) const;
  // The environment entry that has the stand-in reporting `version` stage `patch` with
  // `manifest` in its first run only.
  std::string StageSteps(const std::string& version, const fs::path& patch,
                         const fs::path& manifest) const;

  std::vector<std::string> Journal() const;
  // The journal's starts and probes, as "run <version>" and "probe <version>".
  std::vector<std::string> Events() const;
  // The log's messages; easylogging++ ends its lines in CR LF here, and the CR is left out.
  std::vector<std::string> LogMessages() const;
  std::string LogText() const;
  // What an installation leaves besides the staged executable; empty when all is consumed.
  std::vector<std::string> Leftovers() const;

  // The run exited with 0 and left these journal events and log messages.
  ::testing::AssertionResult Ran(const Captured& run, const std::vector<std::string>& events,
                                 const std::vector<std::string>& log) const;
  // The staged executable holds the bytes of `want` and nothing else is left behind.
  ::testing::AssertionResult StagedIs(const fs::path& want) const;

 private:
  fs::path m_prefix, m_root, m_install, m_cwd, m_journal, m_data, m_runner, m_standin;
  std::string m_user;
};

// A Windows program under Wine in the background; one that runs for longer than two minutes is
// killed, so that a hang fails its case rather than the group.
hl_test::StartedChild StartUnderWine(const std::vector<std::string>& args,
                                     hl_test::ChildOptions options = {});

// The installation of this test program, made on first use.
Installation& Shared();

// The fixture of every case: the installation is prepared before a suite's first case, so that a
// case runs alone as well as in its group.
class InstallationCase : public ::testing::Test {
 public:
  static void SetUpTestSuite() { Shared().Prepare(); }
};

template <typename Param>
class InstallationCaseWithParam : public InstallationCase,
                                  public ::testing::WithParamInterface<Param> {};

// Milliseconds since `start`.
inline long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace wine_runner
