// Shared helpers of the patch creator tests: data generators, temporary folders, applying.
#ifndef TESTS_DIFF_TEST_SUPPORT_H
#define TESTS_DIFF_TEST_SUPPORT_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace difftest {

using Bytes = std::vector<uint8_t>;

Bytes random_bytes(size_t size, uint32_t seed);

// A pair that looks like two builds of a program: blocks of code holding absolute addresses,
// then in NEW a block inserted, one removed, one moved, every later address shifted and a
// few bytes changed.
struct Pair {
  Bytes old, neu;
};
Pair program_like_pair(size_t size, uint32_t seed);

// A fresh folder under the system temporary folder, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::filesystem::path file(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

void write_bytes(const std::filesystem::path& path, const Bytes& data);
Bytes read_bytes(const std::filesystem::path& path);

// Runs the patch driver without its trace (error lines go to standard error); returns its result code.
int apply_patch(const std::filesystem::path& old, const std::filesystem::path& patch,
                const std::filesystem::path& out);

}  // namespace difftest

#endif
