#include "tests/wine/wine_run.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace hl_test {

std::string wine_path(const std::filesystem::path& unixPath) {
  std::string path = std::filesystem::absolute(unixPath).string();
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

std::vector<std::string> wine_command(const std::vector<std::string>& args) {
  const char* wine = std::getenv("QR_WINE");
  if (wine == nullptr || *wine == '\0') throw std::runtime_error("QR_WINE is not set");
  std::vector<std::string> command{wine};
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

Captured run_under_wine(const std::vector<std::string>& args, const ChildOptions& options) {
  return run_program(wine_command(args), options);
}

}  // namespace hl_test
