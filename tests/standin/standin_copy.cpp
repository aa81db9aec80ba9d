#include "tests/standin/standin_copy.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "tests/standin/version_field.h"

namespace standin {
namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string::size_type FieldOffset(const std::string& binary, const std::string& path) {
  const std::string::size_type marker = binary.find(QR_STANDIN_MARKER);
  if (marker == std::string::npos ||
      marker + QR_STANDIN_MARKER_LENGTH + QR_STANDIN_FIELD_LENGTH > binary.size())
    throw std::runtime_error("no version field in " + path);
  return marker + QR_STANDIN_MARKER_LENGTH;
}

}  // namespace

void MakeCopyWithVersion(const std::string& source, const std::string& target,
                         const std::string& version) {
  if (version.size() >= QR_STANDIN_FIELD_LENGTH)
    throw std::runtime_error("version too long: " + version);
  std::string binary = ReadWhole(source);
  const std::string::size_type field = FieldOffset(binary, source);
  std::string padded = version;
  padded.resize(QR_STANDIN_FIELD_LENGTH, '\0');
  binary.replace(field, QR_STANDIN_FIELD_LENGTH, padded);
  {
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(binary.data(), static_cast<std::streamsize>(binary.size()));
    if (!out) throw std::runtime_error("cannot write " + target);
  }
  namespace fs = std::filesystem;
  fs::permissions(target, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
}

std::string VersionOf(const std::string& path) {
  const std::string binary = ReadWhole(path);
  const std::string field = binary.substr(FieldOffset(binary, path), QR_STANDIN_FIELD_LENGTH);
  return field.substr(0, field.find('\0'));
}

std::string VersionKey(const std::string& version) {
  std::string key = version;
  for (char& c : key) {
    const bool alphanumeric =
        (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alphanumeric) c = '_';
  }
  return key;
}

}  // namespace standin
