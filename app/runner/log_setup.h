// The runner's one change to the logging library: where every logger writes its file.
#pragma once

#include <string>

namespace runner {

// Points the file output of every registered logger at `logFile` (opened for appending), made
// afresh when missing, then writes the lines held back for it. A log file that is anything but a
// regular file (a FIFO, a link, a folder) is not used: false, and the run goes on without a log file.
bool SetLogFile(const std::string& logFile);

// Holds an INFO line back until the log has its file; a run whose log never gets one drops it.
void LogOnceTheFileIsSet(const std::string& message);

}  // namespace runner
