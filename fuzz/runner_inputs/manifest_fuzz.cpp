// The manifest parse (the whole buffer, strict JSON, the two digest members) and ReadForceFlag on
// any bytes. A manifest parses exactly when the JSON library accepts the same bytes in memory and
// they hold no NUL byte, is refused as too deep exactly when that value nests deeper than the
// limit, reads as that value otherwise, and yields a digest only when it is 64 lowercase hex
// digits. No exception may leave ParseManifest.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "app/runner/staging.h"

namespace {

bool IsDigest(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// Levels of arrays and objects within each other (a fuzz input is short enough to recurse over).
int Depth(const nlohmann::json& value) {
  int deepest = 0;
  if (value.is_structured())
    for (const nlohmann::json& item : value) deepest = std::max(deepest, Depth(item));
  return value.is_structured() ? deepest + 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  runner::Manifest manifest;
  const runner::ManifestProblem problem = runner::ParseManifest(bytes, manifest);

  const nlohmann::json inMemory = nlohmann::json::parse(data, data + size, nullptr, false, false);
  // The library itself stops at a NUL byte; the manifest parse refuses any.
  const bool refused = inMemory.is_discarded() || bytes.find('\0') != std::string::npos;
  if ((problem == runner::ManifestProblem::notJson) != refused) abort();
  if (problem == runner::ManifestProblem::notJson) return 0;
  if ((problem == runner::ManifestProblem::tooDeep) !=
      (Depth(inMemory) > runner::kManifestDepthLimit))
    abort();
  if (problem == runner::ManifestProblem::tooDeep) return 0;
  if (manifest.value != inMemory) abort();
  if (manifest.baseSha256 && !IsDigest(*manifest.baseSha256)) abort();
  if (manifest.sha256 && !IsDigest(*manifest.sha256)) abort();
  if (problem == runner::ManifestProblem::none && inMemory.is_object()) {
    if (inMemory.contains("base_sha256") != manifest.baseSha256.has_value()) abort();
    if (inMemory.contains("sha256") != manifest.sha256.has_value()) abort();
  }

  const bool force = runner::ReadForceFlag(manifest.value);
  const bool expected = manifest.value.is_object() && manifest.value.count("force") == 1 &&
                        manifest.value.at("force").is_boolean() &&
                        manifest.value.at("force").get<bool>();
  if (force != expected) abort();
  return 0;
}
