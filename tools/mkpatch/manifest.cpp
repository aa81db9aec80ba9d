#include "tools/mkpatch/manifest.h"

#include <openssl/sha.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>

namespace mkpatch {

std::string sha256_hex(const std::vector<uint8_t>& bytes) {
  // The digest's own functions rather than EVP's: linked from libcrypto's archive they bring
  // in SHA-256 alone, where EVP brings its providers and most of the library.
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256_CTX context;
  SHA256_Init(&context);
  SHA256_Update(&context, bytes.data(), bytes.size());
  SHA256_Final(digest, &context);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

std::string manifest_text(const std::string& baseSha256, const std::string& sha256, bool force) {
  nlohmann::ordered_json manifest;
  manifest["force"] = force;
  manifest["base_sha256"] = baseSha256;
  manifest["sha256"] = sha256;
  return manifest.dump(2) + "\n";
}

bool write_manifest(const std::string& path, const std::string& text, std::string& error) {
  // Written beside its final name and renamed, so that a reader never sees half a manifest.
  const std::string pending = path + ".part-" + std::to_string(getpid());
  {
    std::ofstream out(pending, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      error = "cannot write \"" + pending + "\"";
      std::error_code ignored;
      std::filesystem::remove(pending, ignored);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(pending, path, ec);
  if (ec) {
    error = "cannot write \"" + path + "\": " + ec.message();
    std::filesystem::remove(pending, ec);
    return false;
  }
  return true;
}

}  // namespace mkpatch
