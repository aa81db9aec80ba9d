// Test helpers: a temporary folder, file helpers, running a program as a child process and
// capturing this process's standard output and error.
#ifndef HL_TESTS_PATCH_PROCESS_CAPTURE_H
#define HL_TESTS_PATCH_PROCESS_CAPTURE_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/patch_writer.h"

namespace hl_test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

void write_file(const std::string& path, const Bytes& data);
Bytes read_file(const std::string& path);

struct ChildLimits {
  uint64_t fileSize = 0;     // RLIMIT_FSIZE when not 0 (SIGXFSZ is then ignored)
  uint64_t addressSpace = 0; // RLIMIT_AS when not 0
};

struct Captured {
  int exitCode = -1;  // the exit status, or -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// Runs args[0] with the arguments, waits, and returns what it printed.
Captured run_program(const std::vector<std::string>& args, const ChildLimits& limits = {});

// Sends this process's fd 2, and fd 1 unless told otherwise, to files until finish(). Test
// failures reported meanwhile on a captured stdout are lost, so check results after finish().
class StdCapture {
 public:
  explicit StdCapture(bool withStdout = true);
  ~StdCapture();
  StdCapture(const StdCapture&) = delete;
  StdCapture& operator=(const StdCapture&) = delete;
  Captured finish();

 private:
  TempDir dir_;
  int savedOut_ = -1;
  int savedErr_ = -1;
};

// Two temporary files to give an in-process driver run as its trace and error streams.
class StreamCapture {
 public:
  StreamCapture();
  ~StreamCapture();
  StreamCapture(const StreamCapture&) = delete;
  StreamCapture& operator=(const StreamCapture&) = delete;
  FILE* out() const { return out_; }
  FILE* err() const { return err_; }
  // What each stream holds so far (exitCode 0).
  Captured text() const;

 private:
  FILE* out_ = nullptr;
  FILE* err_ = nullptr;
};

}  // namespace hl_test

#endif
