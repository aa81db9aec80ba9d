#include "app/runner/log_setup.h"

#include <easylogging++.h>

#include <vector>

// The library's storage is created during static initialisation, with its defaults; until
// SetLogFile runs, file output goes to the null device.
INITIALIZE_EASYLOGGINGPP

namespace runner {
namespace {

std::vector<std::string>& HeldBackLines() {
  static std::vector<std::string> lines;
  return lines;
}

}  // namespace

void SetLogFile(const std::string& logFile) {
  el::Loggers::reconfigureAllLoggers(el::Level::Global, el::ConfigurationType::Filename, logFile);
  for (const std::string& line : HeldBackLines()) LOG(INFO) << line;
  HeldBackLines().clear();
}

void LogOnceTheFileIsSet(const std::string& message) { HeldBackLines().push_back(message); }

}  // namespace runner
