#include "app/runner/file_system.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "app/runner/os/os.h"

namespace runner {
namespace {

bool IsNotFound(const std::error_code& error) {
  if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) return true;
#ifdef _WIN32
  const int code = error.value();
  return error.category() == std::system_category() && (code == 2 || code == 3 || code == 53 || code == 123);
#else
  return false;
#endif
}

}  // namespace

bool PathExists(const std::string& path) {
  if (path.empty()) return false;
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (status.type() == std::filesystem::file_type::not_found) return false;
  if (error) {
    if (IsNotFound(error)) return false;
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
