#include "tests/wine/wine_run.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace hl_test {

std::string wine_path(const std::filesystem::path& unixPath) {
  std::string path = "Z:" + unixPath.string();
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

Captured run_under_wine(const std::vector<std::string>& args, const ChildOptions& options) {
  const char* wine = std::getenv("QR_WINE");
  if (wine == nullptr || *wine == '\0') throw std::runtime_error("QR_WINE names no Wine");
  std::vector<std::string> command{wine};
  command.insert(command.end(), args.begin(), args.end());
  return run_program(command, options);
}

}  // namespace hl_test
