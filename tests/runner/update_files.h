// Real patches between stand-in versions, for installation tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "diff/body_encoder.h"
#include "tests/runner/sandbox.h"

namespace runner_test {

using Bytes = std::vector<uint8_t>;

// A patch that turns the stand-in at `from` into the same stand-in reporting `toVersion`;
// uncompressed ones are written by hand, compressed ones by the patch creator.
Bytes MakeVersionPatch(const std::filesystem::path& from, const std::string& toVersion,
                       hldiff::Compression compression = hldiff::Compression::None);

// SHA-256 of the bytes, as 64 lowercase hex digits (the form update.json carries).
std::string Sha256Hex(const Bytes& bytes);

// The bytes of the stand-in reporting `version`.
Bytes StandinBytes(const std::string& version);

// update.json's text with the digests that are not empty.
std::string Manifest(const std::string& base, const std::string& result, bool force = true);

// Stages an update in the data folder (made when missing): `patch` as "Patch" and `manifest` as
// "update.json".
void StageUpdate(Sandbox& box, const Bytes& patch,
                 const std::string& manifest = R"({"force": true})");

}  // namespace runner_test
