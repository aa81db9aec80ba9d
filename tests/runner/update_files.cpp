#include "tests/runner/update_files.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "diff/patch_maker.h"
#include "tests/standin/version_field.h"
#include "tests/support/patch_writer.h"
#include "tools/mkpatch/manifest.h"
#include "tests/standin/standin_copy.h"

namespace runner_test {

Bytes ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string Sha256Hex(const Bytes& bytes) { return mkpatch::sha256_hex(bytes); }

Bytes StandinBytes(const std::string& version) {
  const std::filesystem::path copy = std::filesystem::path(QR_TEST_SCRATCH) /
                                     ("standin-" + std::to_string(::getpid()) + "-" + version);
  standin::MakeCopyWithVersion(QR_STANDIN_PATH, copy.string(), version);
  Bytes bytes = ReadBytes(copy);
  std::filesystem::remove(copy);
  return bytes;
}

Bytes MakeVersionPatch(const std::filesystem::path& from, const std::string& toVersion,
                       hldiff::Compression compression) {
  const Bytes oldData = ReadBytes(from);
  const std::filesystem::path copy = std::filesystem::path(QR_TEST_SCRATCH) /
                                     ("patched-" + std::to_string(::getpid()) + "-" + toVersion);
  standin::MakeCopyWithVersion(from.string(), copy.string(), toVersion);
  const Bytes newData = ReadBytes(copy);
  std::filesystem::remove(copy);
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
  return hldiff::make_patch(oldData.data(), oldData.size(), newData.data(), newData.size(), options);
}

}  // namespace runner_test
