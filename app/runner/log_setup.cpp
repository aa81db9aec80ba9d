#include "app/runner/log_setup.h"

#include <easylogging++.h>

// The library's storage is created during static initialisation, with its defaults; until
// SetLogFile runs, file output goes to the null device.
INITIALIZE_EASYLOGGINGPP

namespace runner {

void SetLogFile(const std::string& logFile) {
  el::Loggers::reconfigureAllLoggers(el::Level::Global, el::ConfigurationType::Filename, logFile);
}

}  // namespace runner
