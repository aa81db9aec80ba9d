// SHA-256 through OpenSSL's EVP interface.
#include "app/runner/os/os.h"

#include <openssl/evp.h>

#include <memory>

#include "app/runner/os/file_pieces.h"
#include "app/runner/os/hex_text.h"

namespace runner::os {
namespace {

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::optional<std::string> Sha256OfFile(DataFile& file, std::error_code& error) {
  if (!file.Rewind(error)) return std::nullopt;
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    error = std::make_error_code(std::errc::not_enough_memory);
    return std::nullopt;
  }
  const bool read = ReadToEndInPieces(file, error, [&](const unsigned char* bytes, size_t count) {
    EVP_DigestUpdate(context.get(), bytes, count);
    return true;
  });
  if (!read) return std::nullopt;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest, &length);
  return HexText(digest, length);
}

}  // namespace runner::os
