// The supervisor loop (ProcessRunner::WindowsProcessing, on every system): pick the executable,
// run it, install what it staged, maybe run again.
#include <easylogging++.h>

#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "app/runner/data_folder.h"
#include "app/runner/file_system.h"
#include "app/runner/install.h"
#include "app/runner/log_setup.h"
#include "app/runner/os/os.h"
#include "app/runner/process_runner.h"
#include "app/runner/staging.h"
#include "app/runner/update_attempts.h"
#include "app/runner/version_probe.h"

namespace {

using runner::os::kPathSeparator;

std::string InstalledExecutable() {
  return runner::GetExecutableDirectory() + kPathSeparator + "Quorlin.exe";
}

runner::DataFolder PrepareRun() {
  std::error_code error;
  const std::optional<std::string> roaming = runner::os::RoamingFolder(error);
  if (!roaming) {
    std::cerr << "Failed to get AppData Roaming path" << std::endl;
    return runner::DataFolder();
  }
  runner::DataFolder folder(*roaming + kPathSeparator + "Quorlin" + kPathSeparator);
  if (!runner::SetLogFile(folder.logFile))
    std::cerr << "logs.log is not a regular file: no log file this run" << std::endl;
  runner::os::SetEnvironment("TESSDATA",
                             runner::GetExecutableDirectory() + kPathSeparator + "tessdata");
  return folder;
}

// Starts the application and waits until it has ended. False when it could not be started.
bool RunApplication(const std::string& startedExecutable) {
  // The line stays as it always was, without the system's cause.
  std::error_code error;
  std::unique_ptr<runner::os::ChildProcess> application =
      runner::os::ChildProcess::Start(startedExecutable, "--runner", error);
  if (!application) {
    LOG(INFO) << "Create Process " << startedExecutable + " --runner"
              << " error";
    return false;
  }
  application->WaitForFirstIdle();
  application->FocusWindow("Quorlin");
  application->WaitForExit();
  return true;
}

// The guarded update step. Nothing installed when it failed.
runner::InstallOutcome InstallGuarded(const runner::DataFolder& folder,
                                      const std::string& startedExecutable) {
  try {
    return runner::InstallStagedUpdate(folder, startedExecutable);
  } catch (const std::filesystem::filesystem_error& error) {
    LOG(INFO) << "error: " << error.what();
  } catch (...) {
    LOG(INFO) << "unknown error";
  }
  return runner::InstallOutcome();
}

class Supervisor {
 public:
  explicit Supervisor(runner::DataFolder folder)
      : m_folder(std::move(folder)), m_elevated(runner::os::IsProcessElevated()) {}

  void Run() {
    // An elevated runner must not start what any process of the user can write, nor install
    // through a folder that such a process can point elsewhere.
    if (m_elevated)
      LOG(INFO)
          << "elevated run: only the installed Quorlin.exe is started and nothing is installed";
    else
      runner::RecoverInterruptedInstall(m_folder);
    while (RunCycle()) {
    }
  }

 private:
  // The staged executable when it may run, else the installed one.
  std::string ChooseExecutable() {
    const std::string& staged = m_folder.stagedExecutable;
    if (m_elevated || !runner::IsStagedExecutableUsable(staged)) return InstalledExecutable();
    const runner::StagedVerdict verdict =
        runner::CheckStagedVersion(InstalledExecutable(), m_folder);
    // A forced update whose result does not pass, or gives no verdict, would otherwise be staged
    // and forced again and again: it is refused from now on. A result kept without a verdict
    // stays staged, to be judged at a later start.
    if (verdict != runner::StagedVerdict::start && !m_forcedUpdate.empty()) {
      runner::UpdateAttempts(m_folder.attemptsFile).MarkFailed(m_forcedUpdate);
      LOG(INFO) << (verdict == runner::StagedVerdict::removed
                        ? "the update just installed failed its version check: not installed again"
                        : "the update just installed got no verdict from its version check: not "
                          "installed again");
    }
    m_forcedUpdate.clear();
    return verdict == runner::StagedVerdict::start && runner::IsStagedExecutableUsable(staged)
               ? staged
               : InstalledExecutable();
  }

  // One update cycle. True when the next cycle is to start at once.
  bool RunCycle() {
    const std::string startedExecutable = ChooseExecutable();
    LOG(INFO) << "exe path: " << startedExecutable;
    if (!runner::PathExists(startedExecutable)) {
      LOG(INFO) << "exe not exist ";
      return false;
    }
    if (!RunApplication(startedExecutable)) return false;
    if (m_elevated || !runner::IsUpdateStaged(m_folder.manifestFile, m_folder.patchFile))
      return false;
    runner::InstallOutcome installed = InstallGuarded(m_folder, startedExecutable);
    m_forcedUpdate = std::move(installed.updateId);
    return runner::ReadForceFlag(installed.manifest);
  }

  const runner::DataFolder m_folder;
  const bool m_elevated;
  // The patch digest of the forced update installed in the cycle just ended.
  std::string m_forcedUpdate;
};

}  // namespace

void ProcessRunner::WindowsProcessing() {
  // Errors of the tests and the version check outside the update step end the runner in order.
  try {
    Supervisor(PrepareRun()).Run();
  } catch (const std::exception& error) {
    LOG(INFO) << "error: " << error.what();
  } catch (...) {
    LOG(INFO) << "unknown error";
  }
}
