// update.json, the manifest beside a staged patch: its keys, its strict parse (the runner) and
// its text (mkpatch).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace update_manifest {

// The members the runner reads; any other member is kept in the value and ignored.
constexpr const char* kForceKey = "force";
constexpr const char* kBaseSha256Key = "base_sha256";
constexpr const char* kSha256Key = "sha256";

// A manifest larger than this is refused without being read.
constexpr uint64_t kManifestSizeLimit = uint64_t(1) << 20;

// A manifest nested deeper than this (arrays and objects within each other) is refused.
constexpr int kManifestDepthLimit = 64;

// What update.json asks for: the whole value, and the optional SHA-256 digests of the
// executable the patch applies to and of the executable it makes.
struct Manifest {
  nlohmann::json value;
  std::optional<std::string> baseSha256;
  std::optional<std::string> sha256;
};

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

// True exactly when the manifest is an object whose "force" is the boolean true.
bool ReadForceFlag(const nlohmann::json& manifest);

// The manifest's text, as mkpatch writes it: "force", "base_sha256" and "sha256" in that order,
// indented by two, with a closing newline.
std::string ManifestText(const std::string& baseSha256, const std::string& sha256, bool force);

}  // namespace update_manifest
