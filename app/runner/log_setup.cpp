#include "app/runner/log_setup.h"

#include <easylogging++.h>

#include <memory>
#include <system_error>
#include <vector>

#include "app/runner/os/os.h"

// The library's storage is created during static initialisation, with its defaults; until
// SetLogFile runs, file output goes to the null device.
INITIALIZE_EASYLOGGINGPP

namespace runner {
namespace {

using os::DataFile;

std::vector<std::string>& HeldBackLines() {
  static std::vector<std::string> lines;
  return lines;
}

// Writes every line the library builds into the log file the runner opened and checked itself:
// opened by the library, the name could meanwhile lead anywhere (a link to a file of the user's,
// a FIFO that blocks the runner). The library's own format and line ending are kept.
class LogFileWriter : public el::LogDispatchCallback {
 public:
  static constexpr const char* kName = "logs.log";
  void SetFile(std::unique_ptr<DataFile> file) { m_file = std::move(file); }

 protected:
  void handle(const el::LogDispatchData* data) override {
    if (!m_file || data->dispatchAction() != el::base::DispatchAction::NormalLog) return;
    const el::LogMessage* message = data->logMessage();
    std::string line = message->logger()->logBuilder()->build(message, false);
    line += os::kTextLineEnd;
    // A line that cannot be written is lost; the run goes on, as with the library's own file.
    std::error_code ignored;
    m_file->Write(line.data(), line.size(), ignored);
  }

 private:
  std::unique_ptr<DataFile> m_file;
};

// Moves a log grown past the limit to logs.log.1, replacing an older one, so that it never fills
// the disk. The line to log about it; empty when the log was within the limit.
std::string RotateLongLog(const std::string& logFile) {
  os::EntryKind kind = os::EntryKind::absent;
  std::error_code error;
  std::unique_ptr<DataFile> log = DataFile::OpenRegular(logFile, false, kind, error);
  if (!log || log->Size(error) <= kLogSizeLimit) return {};
  log.reset();
  if (!os::RenameEntry(logFile, logFile + ".1", error))
    return "logs.log is over 4 MiB and cannot be moved to logs.log.1: " + error.message();
  return "logs.log was over 4 MiB: moved to logs.log.1";
}

}  // namespace

bool SetLogFile(const std::string& logFile) {
  std::error_code error;
  os::CreateFolders(logFile.substr(0, logFile.find_last_of("\\/")), error);
  const std::string rotation = RotateLongLog(logFile);
  os::EntryKind kind = os::EntryKind::absent;
  std::unique_ptr<DataFile> file = DataFile::OpenLog(logFile, kind, error);
  if (!file) return false;
  el::Loggers::reconfigureAllLoggers(el::Level::Global, el::ConfigurationType::ToFile, "false");
  el::Helpers::installLogDispatchCallback<LogFileWriter>(LogFileWriter::kName);
  el::Helpers::logDispatchCallback<LogFileWriter>(LogFileWriter::kName)->SetFile(std::move(file));
  for (const std::string& line : HeldBackLines()) LOG(INFO) << line;
  HeldBackLines().clear();
  if (!rotation.empty()) LOG(INFO) << rotation;
  return true;
}

void LogOnceTheFileIsSet(const std::string& message) { HeldBackLines().push_back(message); }

}  // namespace runner
