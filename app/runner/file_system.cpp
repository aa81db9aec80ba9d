#include "app/runner/file_system.h"

#include <filesystem>
#include <system_error>

#include "app/runner/os/os.h"

namespace runner {

bool PathExists(const std::string& path) {
  if (path.empty()) return false;
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (status.type() == std::filesystem::file_type::not_found) return false;
  if (error) {
    if (os::IsNotFoundError(error)) return false;
    throw std::filesystem::filesystem_error("exists", path, error);
  }
  return true;
}

std::string GetExecutableDirectory() {
  const std::string self = os::OwnExecutablePath();
  const std::string::size_type cut = self.find_last_of("\\/");
  return cut == std::string::npos ? self : self.substr(0, cut);
}

}  // namespace runner
