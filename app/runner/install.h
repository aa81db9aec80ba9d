// Turns a staged patch into the next staged executable, between two runs of the application.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace runner {

// Patches a copy of `startedExecutable` into `stagedExecutable`, places the crash handler
// beside it, clears the staging files and returns the manifest. Throws
// std::filesystem::filesystem_error or nlohmann::json::exception at the failing step.
nlohmann::json InstallStagedUpdate(const std::string& dataFolder, const std::string& startedExecutable,
                                   const std::string& patchFile, const std::string& stagedExecutable,
                                   const std::string& manifestFile);

}  // namespace runner
