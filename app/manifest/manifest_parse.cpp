#include "app/manifest/manifest.h"

#include "app/sha256/sha256.h"

namespace update_manifest {
namespace {

// Takes the digest under `key` when the manifest has one; false when it is there but malformed.
bool TakeDigest(const nlohmann::json& manifest, const char* key,
                std::optional<std::string>& digest) {
  if (!manifest.is_object()) return true;
  const auto found = manifest.find(key);
  if (found == manifest.end()) return true;
  if (!found->is_string() || !digest::IsSha256Hex(found->get_ref<const std::string&>()))
    return false;
  digest = found->get<std::string>();
  return true;
}

}  // namespace

ManifestProblem ParseManifest(const std::string& bytes, Manifest& manifest) {
  manifest = Manifest();
  // The JSON library ends its input at a NUL byte, even inside a buffer; JSON text never holds
  // one, so a NUL anywhere means the bytes after it were never judged.
  if (bytes.find('\0') != std::string::npos) return ManifestProblem::notJson;
  // Values below the limit are left out while parsing: a deep value is never built, so nothing
  // that walks it later (copying, destroying) can run out of stack.
  bool tooDeep = false;
  const nlohmann::json::parser_callback_t withinDepth =
      [&tooDeep](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
        // `depth` counts the containers around the event; only a container opens a level.
        const bool opens = event == nlohmann::json::parse_event_t::object_start ||
                           event == nlohmann::json::parse_event_t::array_start;
        if (!opens || depth < kManifestDepthLimit) return true;
        tooDeep = true;
        return false;
      };
  manifest.value =
      nlohmann::json::parse(bytes.begin(), bytes.end(), withinDepth, /*allow_exceptions=*/false,
                            /*ignore_comments=*/false);
  if (tooDeep && !manifest.value.is_discarded()) {
    manifest.value = nlohmann::json();
    return ManifestProblem::tooDeep;
  }
  if (manifest.value.is_discarded()) return ManifestProblem::notJson;
  if (!TakeDigest(manifest.value, kBaseSha256Key, manifest.baseSha256))
    return ManifestProblem::malformedBaseSha256;
  if (!TakeDigest(manifest.value, kSha256Key, manifest.sha256))
    return ManifestProblem::malformedSha256;
  return ManifestProblem::none;
}

bool ReadForceFlag(const nlohmann::json& manifest) {
  if (!manifest.is_object()) return false;
  const auto found = manifest.find(kForceKey);
  return found != manifest.end() && found->is_boolean() && found->get<bool>();
}

}  // namespace update_manifest
