// SHA-256 through libcrypto's digest functions rather than EVP: linked from libcrypto's archive
// (mkpatch) they bring in SHA-256 alone, where EVP brings its providers and most of the library.
#include <openssl/sha.h>

#include "app/sha256/sha256.h"

namespace digest {

struct Sha256::State {
  SHA256_CTX context;
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
  if (SHA256_Init(&m_state->context) != 1)
    m_failure = std::make_error_code(std::errc::not_enough_memory);
}

Sha256::~Sha256() = default;

bool Sha256::Add(const unsigned char* bytes, std::size_t count) {
  if (m_failure) return false;
  if (SHA256_Update(&m_state->context, bytes, count) == 1) return true;
  m_failure = std::make_error_code(std::errc::io_error);
  return false;
}

std::optional<std::string> Sha256::FinishHex() {
  if (m_failure) return std::nullopt;
  unsigned char digest[SHA256_DIGEST_LENGTH];
  if (SHA256_Final(digest, &m_state->context) != 1) {
    m_failure = std::make_error_code(std::errc::io_error);
    return std::nullopt;
  }
  return HexText(digest, sizeof digest);
}

}  // namespace digest
