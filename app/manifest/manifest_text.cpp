// Apart from the parse, so that a program that only writes manifests links no JSON parser.
#include "app/manifest/manifest.h"

namespace update_manifest {

std::string ManifestText(const std::string& baseSha256, const std::string& sha256, bool force) {
  nlohmann::ordered_json manifest;
  manifest[kForceKey] = force;
  manifest[kBaseSha256Key] = baseSha256;
  manifest[kSha256Key] = sha256;
  return manifest.dump(2) + "\n";
}

}  // namespace update_manifest
