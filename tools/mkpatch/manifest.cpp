#include "tools/mkpatch/manifest.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <system_error>

namespace mkpatch {

bool write_manifest(const std::string& path, const std::string& text, std::string& error) {
  // Written beside its final name and renamed, so that a reader never sees half a manifest.
  const std::string pending = path + ".part-" + std::to_string(getpid());
  {
    std::ofstream out(pending, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      error = "cannot write \"" + pending + "\"";
      std::error_code ignored;
      std::filesystem::remove(pending, ignored);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(pending, path, ec);
  if (ec) {
    error = "cannot write \"" + path + "\": " + ec.message();
    std::filesystem::remove(pending, ec);
    return false;
  }
  return true;
}

}  // namespace mkpatch
