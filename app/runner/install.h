// Turns a staged patch into the next staged executable, between two runs of the application.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "app/runner/data_folder.h"

namespace runner {

// The most memory the runner lets one patch run take (the driver's whole block).
constexpr uint64_t kPatchMemoryLimit = uint64_t(256) << 20;
// Room kept free on the data folder's disk beyond the new and the backup executable.
constexpr uint64_t kDiskSpaceMargin = uint64_t(16) << 20;

// What one installation step came to.
struct InstallOutcome {
  // The manifest when the update was installed; null when it was refused, failed or left for
  // later (one log line says why).
  nlohmann::json manifest;
  // The patch's SHA-256 when a forced update was installed: should its result fail the version
  // check at the restart, the update is refused the next time it is staged.
  std::string updateId;
};

// Reads the manifest, checks the patch and the executable that ran against it, patches a copy
// of `startedExecutable` into the staged executable, places the crash handler beside it and
// clears the staging files, holding the install lock throughout. Throws
// std::filesystem::filesystem_error when a staging file cannot be removed.
InstallOutcome InstallStagedUpdate(const DataFolder& folder, const std::string& startedExecutable);

// Finishes an installation that was interrupted after its patch was removed: its result, which
// was complete and flushed before the patch went, becomes the staged executable, unless the
// manifest names another digest. Clears what an interrupted run left half-made.
void RecoverInterruptedInstall(const DataFolder& folder);

// Examines the staged executable before it is used: true when it is a regular file. Anything
// else standing there is logged and set aside, so that the installed executable is started.
bool IsStagedExecutableUsable(const std::string& stagedExecutable);

}  // namespace runner
