#include "app/sha256/sha256.h"

namespace digest {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

std::string HexText(const unsigned char* bytes, std::size_t count) {
  std::string text;
  text.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    text += kHexDigits[bytes[i] >> 4];
    text += kHexDigits[bytes[i] & 15];
  }
  return text;
}

bool IsSha256Hex(const std::string& text) {
  if (text.size() != kSha256HexLength) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::optional<std::string> Sha256Hex(const unsigned char* bytes, std::size_t count) {
  Sha256 hash;
  if (!hash.Add(bytes, count)) return std::nullopt;
  return hash.FinishHex();
}

}  // namespace digest
