// Makes copies of the stand-in application that report another version.
#pragma once

#include <string>

namespace standin {

// Copies the stand-in at `source` to `target` (executable) with `version` in its version field.
// Throws std::runtime_error when `source` holds no version field or the version does not fit.
void MakeCopyWithVersion(const std::string& source, const std::string& target,
                         const std::string& version);

// The version in the stand-in binary at `path`. Throws std::runtime_error when it has none.
std::string VersionOf(const std::string& path);

// The key of `version` in the stand-in's environment variables (QR_STANDIN_RUN_<key>,
// QR_STANDIN_PROBE_<key>): every character other than an ASCII letter or digit becomes '_'.
std::string VersionKey(const std::string& version);

}  // namespace standin
