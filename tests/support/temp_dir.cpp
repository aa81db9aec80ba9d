#include "tests/support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <stdexcept>
#include <system_error>

namespace hl_test {

namespace fs = std::filesystem;

namespace {

std::atomic<unsigned> g_made{0};

// A name nobody else is likely to pick: random bits, the clock and a count of this process's
// folders (some C++ libraries give random_device no entropy).
std::string unique_suffix() {
  static std::mutex guard;
  std::lock_guard<std::mutex> lock(guard);
  static std::mt19937_64 rng(
      std::random_device{}() ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  uint64_t bits = rng() ^ (uint64_t(g_made++) << 40);
  std::string suffix;
  for (int i = 0; i < 10; ++i, bits /= 36) suffix.push_back(digits[bits % 36]);
  return suffix;
}

}  // namespace

TempDir::TempDir(const std::string& prefix, const fs::path& base) {
  fs::create_directories(base);
  // create_directory reports false when the folder already existed, so a folder is never shared.
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = base / (prefix + "-" + unique_suffix());
    if (fs::create_directory(candidate)) {
      fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace);
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary folder under " + base.string());
}

TempDir::~TempDir() {
  std::error_code ignored;
  // A test may have taken the owner's rights away; they are needed to empty the folder.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name) const {
  return (path_ / fs::u8path(name)).u8string();
}

}  // namespace hl_test
