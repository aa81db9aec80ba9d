// Turns a staged patch into the next staged executable, between two runs of the application.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace runner {

// The most memory the runner lets one patch run take (the driver's M + I + P).
constexpr uint64_t kPatchMemoryLimit = uint64_t(256) << 20;
// Room kept free on the data folder's disk beyond the new and the backup executable.
constexpr uint64_t kDiskSpaceMargin = uint64_t(16) << 20;

// Reads the manifest, checks the patch and the executable that ran against it, patches a copy
// of `startedExecutable` into `stagedExecutable`, places the crash handler beside it and clears
// the staging files. Returns the manifest when the update was installed; a null value when it
// was refused or failed (one log line says why; a passing failure keeps the update for a later
// run). Throws std::filesystem::filesystem_error when a staging file cannot be removed.
nlohmann::json InstallStagedUpdate(const std::string& dataFolder, const std::string& startedExecutable,
                                   const std::string& patchFile, const std::string& stagedExecutable,
                                   const std::string& manifestFile);

// Finishes an installation that was interrupted after its patch was removed: a patch result
// whose digest the manifest names becomes the staged executable; any other one is removed.
void RecoverInterruptedInstall(const std::string& dataFolder, const std::string& patchFile,
                               const std::string& stagedExecutable, const std::string& manifestFile);

// Examines the staged executable before it is used: true when it is a regular file. Anything
// else standing there is logged and set aside, so that the installed executable is started.
bool IsStagedExecutableUsable(const std::string& stagedExecutable);

}  // namespace runner
