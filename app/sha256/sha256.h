// SHA-256 as update.json names files by it: 64 lowercase hex digits. libcrypto computes it on
// POSIX, the system's CNG (BCrypt) on Windows.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace digest {

constexpr std::size_t kSha256HexLength = 64;

// A SHA-256 taken over pieces of input. A hash that cannot be set up, or whose system call
// failed, says why in Failure() and takes no more input.
class Sha256 {
 public:
  Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();

  const std::error_code& Failure() const { return m_failure; }
  bool Add(const unsigned char* bytes, std::size_t count);
  // The digest in hex; nothing once the hash has failed.
  std::optional<std::string> FinishHex();

 private:
  struct State;
  std::unique_ptr<State> m_state;
  std::error_code m_failure;
};

// The SHA-256 of `count` bytes in hex; nothing when the system's hash fails.
std::optional<std::string> Sha256Hex(const unsigned char* bytes, std::size_t count);

// True for 64 lowercase hex digits, the way a digest is spelt.
bool IsSha256Hex(const std::string& text);

// Bytes as lowercase hex digits, two a byte.
std::string HexText(const unsigned char* bytes, std::size_t count);

}  // namespace digest
