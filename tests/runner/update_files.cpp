#include "tests/runner/update_files.h"

#include <algorithm>

#include "app/sha256/sha256.h"
#include "diff/patch_maker.h"
#include "tests/standin/standin_copy.h"
#include "tests/standin/version_field.h"
#include "tests/support/file_io.h"
#include "tests/support/patch_writer.h"
#include "tests/support/temp_dir.h"

namespace runner_test {

std::string Sha256Hex(const Bytes& bytes) {
  return digest::Sha256Hex(bytes.data(), bytes.size()).value();
}

Bytes StandinBytes(const std::string& version) {
  const hl_test::TempDir folder("standin", QR_TEST_SCRATCH);
  const std::string copy = folder.file("standin");
  standin::MakeCopyWithVersion(QR_STANDIN_PATH, copy, version);
  return hl_test::read_file(copy);
}

Bytes MakeVersionPatch(const std::filesystem::path& from, const std::string& toVersion,
                       hldiff::Compression compression) {
  const Bytes oldData = hl_test::read_file(from);
  const hl_test::TempDir folder("patched", QR_TEST_SCRATCH);
  const std::string copy = folder.file("patched");
  standin::MakeCopyWithVersion(from.string(), copy, toVersion);
  const Bytes newData = hl_test::read_file(copy);
  if (compression == hldiff::Compression::None) {
    // Only the version field differs: copy around it, store the new field as it stands.
    const std::string marker = QR_STANDIN_MARKER;
    const auto found = std::search(oldData.begin(), oldData.end(), marker.begin(), marker.end());
    const uint32_t field = static_cast<uint32_t>(found - oldData.begin() + marker.size());
    const uint32_t rest = field + QR_STANDIN_FIELD_LENGTH;
    hl_test::PatchBuilder builder(oldData);
    builder.copy(0, field);
    builder.literal(Bytes(newData.begin() + field, newData.begin() + rest));
    builder.copy(rest, static_cast<uint32_t>(oldData.size() - rest));
    return builder.patch();
  }
  hldiff::MakeOptions options;
  options.encode.compression = compression;
  return hldiff::make_patch(oldData.data(), oldData.size(), newData.data(), newData.size(),
                            options);
}

void StageUpdate(Sandbox& box, const Bytes& patch, const std::string& manifest) {
  std::filesystem::create_directories(box.DataFolder());
  hl_test::write_file(box.DataFolder() / "Patch", patch);
  box.WriteFile(box.DataFolder() / "update.json", manifest);
}

std::string Manifest(const std::string& base, const std::string& result, bool force) {
  std::string text = std::string("{\"force\": ") + (force ? "true" : "false");
  if (!base.empty()) text += ", \"base_sha256\": \"" + base + "\"";
  if (!result.empty()) text += ", \"sha256\": \"" + result + "\"";
  return text + "}";
}

}  // namespace runner_test
