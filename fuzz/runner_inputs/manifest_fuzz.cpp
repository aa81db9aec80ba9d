// The manifest read (strict JSON from the file, then removal) and ReadForceFlag on any file
// content. A manifest that parses is removed and reads like the same bytes parsed in memory; one
// that does not raises one of the JSON library's errors (a parse error, or out_of_range for a
// number beyond a double) and stays in place. No other exception may leave ReadManifest.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/runner/staging.h"
#include "fuzz/common/file_bytes.h"
#include "fuzz/common/temp_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = qr_fuzz::process_temp_dir().file("update.json");
  qr_fuzz::write_file(path, std::vector<uint8_t>(data, data + size));

  nlohmann::json manifest;
  bool parsed = true;
  try {
    manifest = runner::ReadManifest(path);
  } catch (const nlohmann::json::exception&) {
    parsed = false;
  }
  if (parsed == std::filesystem::exists(path)) abort();

  const nlohmann::json inMemory = nlohmann::json::parse(data, data + size, nullptr, false, false);
  if (parsed != !inMemory.is_discarded()) abort();
  if (!parsed) {
    std::filesystem::remove(path);
    if (runner::ReadForceFlag(nlohmann::json())) abort();  // a failed read leaves the value null
    return 0;
  }
  if (manifest != inMemory) abort();

  const bool force = runner::ReadForceFlag(manifest);
  const bool expected = manifest.is_object() && manifest.count("force") == 1 &&
                        manifest.at("force").is_boolean() && manifest.at("force").get<bool>();
  if (force != expected) abort();
  return 0;
}
