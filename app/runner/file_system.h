// File-system tests of the runner with the error rules its callers rely on.
#pragma once

#include <string>

namespace runner {

// True when any file-system object is at `path`. "Not found" answers and an empty path
// count as absent; any other failure throws std::filesystem::filesystem_error naming "exists".
bool PathExists(const std::string& path);

// The folder of the runner's own executable, without a trailing separator.
std::string GetExecutableDirectory();

}  // namespace runner
