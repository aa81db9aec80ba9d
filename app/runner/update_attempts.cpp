#include "app/runner/update_attempts.h"

#include <cstdlib>
#include <sstream>
#include <system_error>

#include "app/runner/data_folder.h"
#include "app/runner/os/os.h"

namespace runner {

// The file holds one line: the update's digest, a space and the number of failed attempts.
int UpdateAttempts::CountFailure(const std::string& update) {
  int attempts = 0;
  std::error_code error;
  os::EntryKind kind;
  if (std::unique_ptr<os::DataFile> file = os::DataFile::OpenRegular(m_file, false, kind, error)) {
    std::string text;
    if (file->Size(error) < 256 && ReadWhole(*file, text, error)) {
      std::istringstream line(text);
      std::string counted;
      int count = 0;
      if (line >> counted >> count && counted == update && count > 0) attempts = count;
    }
  }
  ++attempts;
  const std::string text = update + " " + std::to_string(attempts) + "\n";
  if (std::unique_ptr<os::DataFile> file = CreateFresh(m_file, error)) file->Write(text.data(), text.size(), error);
  return attempts;
}

void UpdateAttempts::Clear() {
  std::error_code ignored;
  RemoveEntry(m_file, ignored);
}

}  // namespace runner
