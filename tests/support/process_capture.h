// Running a program as a child process and capturing this process's standard output and error
// (POSIX).
#ifndef HL_TEST_PROCESS_CAPTURE_H
#define HL_TEST_PROCESS_CAPTURE_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace hl_test {

struct ChildOptions {
  uint64_t fileSize = 0;                 // RLIMIT_FSIZE when not 0 (SIGXFSZ is then ignored)
  uint64_t addressSpace = 0;             // RLIMIT_AS when not 0
  std::string workingDirectory;          // this process's when empty
  std::vector<std::string> environment;  // NAME=VALUE entries set on top of this process's
  int timeLimitSeconds = 0;              // killed (SIGKILL) when it runs longer, when not 0
};

struct Captured {
  int exitCode = -1;  // the exit status, or -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// args[0] with the arguments, started in the background; its output goes to files until wait().
// A child that was not waited for is killed with the object.
class StartedChild {
 public:
  explicit StartedChild(const std::vector<std::string>& args, const ChildOptions& options = {});
  ~StartedChild();
  StartedChild(const StartedChild&) = delete;
  StartedChild& operator=(const StartedChild&) = delete;

  // False once the child has ended (it is still left to wait()).
  bool running() const;
  // What the child has written to its standard output so far.
  std::string out_so_far() const;
  // Waits for the end (or the time limit) and returns what it printed; once only.
  Captured wait();

 private:
  TempDir dir_{"hl-run"};
  pid_t pid_ = -1;
  int timeLimitSeconds_ = 0;
};

// Polls `predicate` every 10 ms until it holds, for at most a minute; false when it never did.
template <typename Predicate>
bool eventually(Predicate predicate) {
  for (int i = 0; i < 6000; ++i) {
    if (predicate()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// True while the process `pid` exists and has not ended (one that ended unreaped has).
bool process_running(pid_t pid);

// Runs args[0] with the arguments, waits, and returns what it printed.
Captured run_program(const std::vector<std::string>& args, const ChildOptions& options = {});
// Runs a command line through /bin/sh.
Captured run_shell(const std::string& command);

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

// hpatchi_run without its trace; its error lines still go to standard error, so that a failure
// explains itself. Returns the result code.
int run_hpatchi_quietly(const std::string& oldPath, const std::string& patchPath,
                        const std::string& newPath);

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
