// The supervisor loop: pick the executable, run it, install what it staged, maybe run again.
#include <easylogging++.h>

#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "app/runner/file_system.h"
#include "app/runner/install.h"
#include "app/runner/log_setup.h"
#include "app/runner/os/os.h"
#include "app/runner/process_runner.h"
#include "app/runner/staging.h"
#include "app/runner/version_probe.h"

namespace {

using runner::os::kPathSeparator;

// The data folder's paths; all empty when there is no roaming folder.
struct DataFolderPaths {
  std::string dataFolder;
  std::string manifestFile;
  std::string patchFile;
  std::string stagedExecutable;
};

std::string InstalledExecutable() { return runner::GetExecutableDirectory() + kPathSeparator + "Quorlin.exe"; }

DataFolderPaths PrepareRun() {
  DataFolderPaths paths;
  const std::optional<std::string> roaming = runner::os::RoamingFolder();
  if (!roaming) {
    std::cerr << "Failed to get AppData Roaming path" << std::endl;
    return paths;
  }
  const std::string quorlinFolder = *roaming + kPathSeparator + "Quorlin" + kPathSeparator;
  if (!runner::SetLogFile(quorlinFolder + "logs.log"))
    std::cerr << "logs.log is not a regular file: no log file this run" << std::endl;
  runner::os::SetEnvironment("TESSDATA", runner::GetExecutableDirectory() + kPathSeparator + "tessdata");
  paths.dataFolder = quorlinFolder;
  paths.manifestFile = quorlinFolder + "update.json";
  paths.patchFile = quorlinFolder + "Patch";
  paths.stagedExecutable = quorlinFolder + "Quorlin.exe";
  return paths;
}

// Starts the application and waits until it has ended. False when it could not be started.
bool RunApplication(const std::string& startedExecutable) {
  std::unique_ptr<runner::os::ChildProcess> application =
      runner::os::ChildProcess::Start(startedExecutable, "--runner");
  if (!application) {
    LOG(INFO) << "Create Process " << startedExecutable + " --runner" << " error";
    return false;
  }
  application->WaitForFirstIdle();
  runner::os::FocusWindow("Quorlin");
  application->WaitForExit();
  return true;
}

// The guarded update step. Returns the manifest, or nothing when the installation failed.
std::optional<nlohmann::json> InstallGuarded(const DataFolderPaths& paths, const std::string& startedExecutable) {
  try {
    return runner::InstallStagedUpdate(paths.dataFolder, startedExecutable, paths.patchFile, paths.stagedExecutable,
                                       paths.manifestFile);
  } catch (const std::filesystem::filesystem_error& error) {
    LOG(INFO) << "error: " << error.what();
  } catch (...) {
    LOG(INFO) << "unknown error";
  }
  return std::nullopt;
}

// One update cycle. True when the next cycle is to start at once.
bool RunCycle(const DataFolderPaths& paths, std::string& startedExecutable) {
  bool stagedMayRun = true;
  if (runner::IsStagedExecutableUsable(paths.stagedExecutable))
    stagedMayRun = runner::CheckStagedVersion(InstalledExecutable(), paths.stagedExecutable);
  startedExecutable = stagedMayRun && runner::IsStagedExecutableUsable(paths.stagedExecutable)
                          ? paths.stagedExecutable
                          : InstalledExecutable();
  LOG(INFO) << "exe path: " << startedExecutable;
  if (!runner::PathExists(startedExecutable)) {
    LOG(INFO) << "exe not exist ";
    return false;
  }
  if (!RunApplication(startedExecutable)) return false;

  nlohmann::json manifest;  // null until an installation reads the manifest
  if (runner::IsUpdateStaged(paths.manifestFile, paths.patchFile)) {
    std::optional<nlohmann::json> installed = InstallGuarded(paths, startedExecutable);
    if (!installed) return false;
    manifest = std::move(*installed);
  }
  return runner::ReadForceFlag(manifest);
}

}  // namespace

void ProcessRunner::WindowsProcessing() {
  const DataFolderPaths paths = PrepareRun();
  std::string startedExecutable;
  // Errors of the tests and the version check outside the update step end the runner in order.
  try {
    runner::RecoverInterruptedInstall(paths.dataFolder, paths.patchFile, paths.stagedExecutable, paths.manifestFile);
    while (RunCycle(paths, startedExecutable)) {
    }
  } catch (const std::exception& error) {
    LOG(INFO) << "error: " << error.what();
  } catch (...) {
    LOG(INFO) << "unknown error";
  }
}
