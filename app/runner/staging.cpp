#include "app/runner/staging.h"

#include <filesystem>
#include <fstream>

#include "app/runner/file_system.h"

namespace runner {

bool IsUpdateStaged(const std::string& manifestFile, const std::string& patchFile) {
  return !manifestFile.empty() && PathExists(manifestFile) && PathExists(patchFile);
}

bool ReadForceFlag(const nlohmann::json& manifest) {
  if (!manifest.is_object()) return false;
  const auto found = manifest.find("force");
  return found != manifest.end() && found->is_boolean() && found->get<bool>();
}

nlohmann::json ReadManifest(const std::string& manifestFile) {
  std::ifstream stream(manifestFile);
  nlohmann::json manifest = nlohmann::json::parse(stream, nullptr, /*allow_exceptions=*/true,
                                                  /*ignore_comments=*/false);
  stream.close();
  std::filesystem::remove(manifestFile);
  return manifest;
}

}  // namespace runner
