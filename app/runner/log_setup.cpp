#include "app/runner/log_setup.h"

#include <easylogging++.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "app/runner/os/os.h"

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

bool SetLogFile(const std::string& logFile) {
  std::error_code error;
  os::CreateFolders(logFile.substr(0, logFile.find_last_of("\\/")), error);
  // Checked before the library opens it: opening a FIFO for appending would block the runner.
  switch (os::ExamineEntry(logFile, error)) {
    case os::EntryKind::absent:
      if (!os::DataFile::CreateNew(logFile, false, error) && os::ExamineEntry(logFile, error) != os::EntryKind::regularFile)
        return false;
      break;
    case os::EntryKind::regularFile:
      break;
    default:
      return false;
  }
  el::Loggers::reconfigureAllLoggers(el::Level::Global, el::ConfigurationType::Filename, logFile);
  for (const std::string& line : HeldBackLines()) LOG(INFO) << line;
  HeldBackLines().clear();
  return true;
}

void LogOnceTheFileIsSet(const std::string& message) { HeldBackLines().push_back(message); }

}  // namespace runner
