// The digest of a data file, read in pieces; the system's hash is behind app/sha256.
#include "app/runner/os/file_pieces.h"
#include "app/runner/os/os.h"
#include "app/sha256/sha256.h"

namespace runner::os {

std::optional<std::string> Sha256OfFile(DataFile& file, std::error_code& error) {
  if (!file.Rewind(error)) return std::nullopt;
  digest::Sha256 hash;
  if (hash.Failure()) {
    error = hash.Failure();
    return std::nullopt;
  }
  const bool read = ReadToEndInPieces(file, error, [&](const unsigned char* bytes, size_t count) {
    if (hash.Add(bytes, count)) return true;
    error = hash.Failure();
    return false;
  });
  if (!read) return std::nullopt;
  std::optional<std::string> hex = hash.FinishHex();
  if (!hex) error = hash.Failure();
  return hex;
}

}  // namespace runner::os
