// A fresh folder for one test, removed with everything in it when the test is done.
#ifndef HL_TEST_TEMP_DIR_H
#define HL_TEST_TEMP_DIR_H

#include <filesystem>
#include <string>

namespace hl_test {

class TempDir {
 public:
  // A new folder "<prefix>-<random>" under base (the system's temporary folder by default).
  explicit TempDir(const std::string& prefix = "hl-test",
                   const std::filesystem::path& base = std::filesystem::temp_directory_path());
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of name (UTF-8) inside the folder, as UTF-8.
  std::string file(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

}  // namespace hl_test

#endif
