// SHA-256 through the system's CNG (BCrypt) hash provider.
#include "app/runner/os/os.h"

#include <windows.h>
#include <bcrypt.h>

#include "app/runner/os/file_pieces.h"
#include "app/runner/os/hex_text.h"

namespace runner::os {
namespace {

// The provider and the hash object, closed in the reverse order of their opening.
class Sha256Hash {
 public:
  Sha256Hash() {
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&m_algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      m_algorithm = nullptr;
      return;
    }
    if (!BCRYPT_SUCCESS(::BCryptCreateHash(m_algorithm, &m_hash, nullptr, 0, nullptr, 0, 0))) m_hash = nullptr;
  }
  Sha256Hash(const Sha256Hash&) = delete;
  Sha256Hash& operator=(const Sha256Hash&) = delete;
  ~Sha256Hash() {
    if (m_hash != nullptr) ::BCryptDestroyHash(m_hash);
    if (m_algorithm != nullptr) ::BCryptCloseAlgorithmProvider(m_algorithm, 0);
  }
  bool Ready() const { return m_hash != nullptr; }
  bool Add(const unsigned char* data, size_t count) {
    return BCRYPT_SUCCESS(::BCryptHashData(m_hash, const_cast<PUCHAR>(data), static_cast<ULONG>(count), 0));
  }
  bool Finish(unsigned char (&digest)[32]) { return BCRYPT_SUCCESS(::BCryptFinishHash(m_hash, digest, 32, 0)); }

 private:
  BCRYPT_ALG_HANDLE m_algorithm = nullptr;
  BCRYPT_HASH_HANDLE m_hash = nullptr;
};

}  // namespace

std::optional<std::string> Sha256OfFile(DataFile& file, std::error_code& error) {
  if (!file.Rewind(error)) return std::nullopt;
  Sha256Hash hash;
  if (!hash.Ready()) {
    error = std::make_error_code(std::errc::not_supported);
    return std::nullopt;
  }
  const bool read = ReadToEndInPieces(file, error, [&](const unsigned char* bytes, size_t count) {
    if (hash.Add(bytes, count)) return true;
    error = std::make_error_code(std::errc::io_error);
    return false;
  });
  if (!read) return std::nullopt;
  unsigned char digest[32];
  if (!hash.Finish(digest)) {
    error = std::make_error_code(std::errc::io_error);
    return std::nullopt;
  }
  return HexText(digest, sizeof digest);
}

}  // namespace runner::os
