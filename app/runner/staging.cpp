#include "app/runner/staging.h"

#include <system_error>

#include "app/runner/os/os.h"

namespace runner {
namespace {

bool IsThere(const std::string& path) {
  std::error_code error;
  return os::ExamineEntry(path, error) != os::EntryKind::absent;
}

}  // namespace

bool IsUpdateStaged(const std::string& manifestFile, const std::string& patchFile) {
  return !manifestFile.empty() && IsThere(manifestFile) && IsThere(patchFile);
}

}  // namespace runner
