// The manifest mkpatch writes beside a patch: update.json naming the base and the result.
#ifndef TOOLS_MKPATCH_MANIFEST_H
#define TOOLS_MKPATCH_MANIFEST_H

#include <cstdint>
#include <string>
#include <vector>

namespace mkpatch {

// SHA-256 of the bytes as 64 lowercase hex digits.
std::string sha256_hex(const std::vector<uint8_t>& bytes);

// The manifest's text: "base_sha256", "sha256" and "force".
std::string manifest_text(const std::string& baseSha256, const std::string& sha256, bool force);

// Writes the manifest to path whole or not at all; false with the reason in error.
bool write_manifest(const std::string& path, const std::string& text, std::string& error);

}  // namespace mkpatch

#endif
