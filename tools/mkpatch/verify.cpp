#include "tools/mkpatch/verify.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "patch/hpatchi.h"
#include "tools/mkpatch/file_io.h"

namespace mkpatch {
namespace {

// Sends standard output to /dev/null while alive: the driver's trace is not mkpatch's output.
class SilencedStdout {
 public:
  SilencedStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    if (saved_ >= 0 && null >= 0) dup2(null, STDOUT_FILENO);
    if (null >= 0) close(null);
  }
  ~SilencedStdout() {
    std::fflush(stdout);
    if (saved_ >= 0) {
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
    }
  }
  SilencedStdout(const SilencedStdout&) = delete;
  SilencedStdout& operator=(const SilencedStdout&) = delete;

 private:
  int saved_ = -1;
};

// Removes the file when going out of scope.
struct TempFile {
  std::filesystem::path path;
  ~TempFile() {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
};

}  // namespace

bool verify_patch(const std::string& oldPath, const std::string& patchPath,
                  const std::vector<uint8_t>& expected, std::string& why) {
  TempFile out{std::filesystem::path(patchPath + ".check-" + std::to_string(getpid()))};
  int rc;
  {
    SilencedStdout quiet;
    rc = hpatchi_run(oldPath.c_str(), patchPath.c_str(), out.path.string().c_str());
  }
  if (rc != HPATCHI_OK) {
    why = "applying it failed with result " + std::to_string(rc);
    return false;
  }
  if (!file_equals(out.path.string(), expected)) {
    why = "applying it does not give NEW";
    return false;
  }
  return true;
}

}  // namespace mkpatch
