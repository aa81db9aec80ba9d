// The runner's one change to the logging library: where every logger writes its file.
#pragma once

#include <string>

namespace runner {

// Points the file output of every registered logger at `logFile` (opened for appending), then
// writes the lines held back for it.
void SetLogFile(const std::string& logFile);

// Holds an INFO line back until the log has its file; a run whose log never gets one drops it.
void LogOnceTheFileIsSet(const std::string& message);

}  // namespace runner
