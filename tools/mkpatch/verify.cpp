#include "tools/mkpatch/verify.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "patch/hl_result.h"
#include "patch/hpatchi_core.h"
#include "tools/mkpatch/file_io.h"

namespace mkpatch {
namespace {

// Removes the file when going out of scope.
struct TempFile {
  std::filesystem::path path;
  ~TempFile() {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
};

// Applies the patch and asks matches whether the result is NEW.
bool apply_and_compare(const std::string& oldPath, const std::string& patchPath,
                       const std::function<bool(const std::string&)>& matches, std::string& why) {
  TempFile out{std::filesystem::path(patchPath + ".check-" + std::to_string(getpid()))};
  // The driver's trace is not mkpatch's output; its error lines are, after mkpatch's own lines.
  std::fflush(stdout);
  const hpatchi_TOutput output = {nullptr, stderr};
  const int rc =
      hpatchi_run_to(&output, oldPath.c_str(), patchPath.c_str(), out.path.string().c_str());
  if (rc != HPATCHI_OK) {
    why = "applying it failed with result " + std::to_string(rc);
    return false;
  }
  if (!matches(out.path.string())) {
    why = "applying it does not give NEW";
    return false;
  }
  return true;
}

}  // namespace

bool verify_patch(const std::string& oldPath, const std::string& patchPath,
                  const std::vector<uint8_t>& expected, std::string& why) {
  return apply_and_compare(
      oldPath, patchPath, [&](const std::string& out) { return file_equals(out, expected); }, why);
}

bool verify_patch(const std::string& oldPath, const std::string& patchPath,
                  const std::string& newPath, std::string& why) {
  return apply_and_compare(
      oldPath, patchPath, [&](const std::string& out) { return files_equal(out, newPath); }, why);
}

}  // namespace mkpatch
