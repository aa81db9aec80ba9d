// The staging area in the data folder: is an update waiting, and does its manifest force a restart.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace runner {

// An update is staged when the manifest path is set and both the manifest and the patch
// exist, tested in that order. Throws std::filesystem::filesystem_error like PathExists.
bool IsUpdateStaged(const std::string& manifestFile, const std::string& patchFile);

// True exactly when the manifest is an object whose "force" is the boolean true.
bool ReadForceFlag(const nlohmann::json& manifest);

// Parses the manifest strictly (one JSON value, no comments), closes it and removes it.
// Throws nlohmann::json::parse_error for a manifest that is not one JSON value.
nlohmann::json ReadManifest(const std::string& manifestFile);

}  // namespace runner
