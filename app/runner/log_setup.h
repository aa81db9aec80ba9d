// The runner's log file: opened and written by the runner, in the logging library's format.
#pragma once

#include <cstdint>
#include <string>

namespace runner {

// A log file larger than this is moved to logs.log.1 when the next run starts.
constexpr uint64_t kLogSizeLimit = uint64_t(4) << 20;

// Sends the file output of every logger to `logFile`, opened once for appending (made afresh
// when missing) and written through that handle, then writes the lines held back for it. A log
// file that is anything but a regular file with one name (a FIFO, a link, a folder, a hard link
// to a file elsewhere) is not used: false, and the run goes on without a log file. A log over
// kLogSizeLimit is moved to logs.log.1 first.
bool SetLogFile(const std::string& logFile);

// Holds an INFO line back until the log has its file; a run whose log never gets one drops it.
void LogOnceTheFileIsSet(const std::string& message);

}  // namespace runner
