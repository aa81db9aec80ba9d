// A digest as lowercase hex digits, the way update.json spells its hashes.
#pragma once

#include <cstddef>
#include <string>

namespace runner::os {

inline std::string HexText(const unsigned char* bytes, std::size_t count) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 15];
  }
  return text;
}

}  // namespace runner::os
