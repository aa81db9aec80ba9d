// The staging area in the data folder: is an update waiting, what does its manifest ask for.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace runner {

// An update is staged when the manifest path is set and both the manifest and the patch
// entries are there, tested in that order. Entries are examined as they stand, links not
// followed; one the system cannot examine counts as there, for the installation to set aside.
bool IsUpdateStaged(const std::string& manifestFile, const std::string& patchFile);

// True exactly when the manifest is an object whose "force" is the boolean true.
bool ReadForceFlag(const nlohmann::json& manifest);

// A manifest larger than this is refused without being read.
constexpr uint64_t kManifestSizeLimit = uint64_t(1) << 20;

// What update.json asks for: the whole value, and the optional SHA-256 digests of the
// executable the patch applies to and of the executable it makes.
struct Manifest {
  nlohmann::json value;
  std::optional<std::string> baseSha256;
  std::optional<std::string> sha256;
};

// A manifest nested deeper than this (arrays and objects within each other) is refused.
constexpr int kManifestDepthLimit = 64;

enum class ManifestProblem {
  none,
  notJson,
  tooDeep,
  malformedBaseSha256,
  malformedSha256
};

// Parses the whole of `bytes` strictly: exactly one JSON value, no comments, nothing after it
// but white space (a NUL byte included). A member "base_sha256" or "sha256" that is there must
// be 64 lowercase hex digits. A value nested deeper than kManifestDepthLimit is not built.
ManifestProblem ParseManifest(const std::string& bytes, Manifest& manifest);

}  // namespace runner
