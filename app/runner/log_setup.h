// The runner's one change to the logging library: where every logger writes its file.
#pragma once

#include <string>

namespace runner {

// Points the file output of every registered logger at `logFile` (opened for appending).
void SetLogFile(const std::string& logFile);

}  // namespace runner
