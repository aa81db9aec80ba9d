#include "app/runner/file_system.h"

#include <filesystem>
#include <system_error>

#include "app/runner/os/os.h"

namespace runner {

bool PathExists(const std::string& path) {
  if (path.empty()) return false;
  std::error_code error;
  const bool exists = os::PathExists(path, error);
  if (error && !os::IsNotFoundError(error))
    throw std::filesystem::filesystem_error("exists", std::filesystem::u8path(path), error);
  return exists && !error;
}

std::string GetExecutableDirectory() {
  std::error_code error;
  const std::string self = os::OwnExecutablePath(error).value_or(std::string());
  const std::string::size_type cut = self.find_last_of("\\/");
  return cut == std::string::npos ? self : self.substr(0, cut);
}

}  // namespace runner
